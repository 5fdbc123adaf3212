#!/usr/bin/env bash
# Installs what is missing, builds tunevat (Release) and starts it in the
# directory this script was called from.
#
# On a machine where ALSA lists no sound card (and no ALSA configuration of
# the user's own is in place), tunevat is pointed at a virtual card made of
# ALSA's file and null plugins: playback goes into a raw file, capture reads
# a generated test tone. With a real card nothing is changed.
set -euo pipefail
here=$PWD
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"
bash "$root/scripts/deps.sh" run
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

has_card() {
  [ -r /proc/asound/cards ] && grep -q '^ *[0-9]' /proc/asound/cards
}
if ! has_card && [ -z "${ALSA_CONFIG_PATH:-}" ] && [ ! -e "${HOME:-/nonexistent}/.asoundrc" ]; then
  demo="$build/virtual-card"
  mkdir -p "$demo"
  [ -s "$demo/tone.raw" ] || "$build/tonegen" "$demo/tone.raw" 120
  cat > "$demo/asound.conf" <<CONF
pcm.!default {
  type asym
  playback.pcm { type file slave.pcm "null" file "$demo/played.raw" format "raw" truncate false }
  capture.pcm { type file slave.pcm "null" infile "$demo/tone.raw" file "/dev/null" format "raw" }
}
CONF
  export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$demo/asound.conf"
  echo "No sound card found: tunevat uses a virtual card." >&2
  echo "  playback is written to $demo/played.raw (a numbered file for each later playback)" >&2
  echo "  capture reads a test tone (440 Hz left, 660 Hz right) from $demo/tone.raw" >&2
  echo "  the virtual card runs faster than real time" >&2
fi
cd "$here"
exec "$build/tunevat"
