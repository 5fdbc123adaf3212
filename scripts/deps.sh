#!/usr/bin/env bash
# Installs the Debian packages Tunevat needs that this machine lacks.
#   deps.sh run   - what building and running the program needs
#   deps.sh test  - that, plus GoogleTest, sox, alsa-utils, clang (libFuzzer),
#                   valgrind (the long-session test), the other WAV
#                   writers and readers the corpus test compares with:
#                   ffmpeg, libsndfile (its headers, for tests/sndcheck.cpp)
#                   and Python's wave module, and PulseAudio with ALSA's
#                   pulse plugin (the tests through a sound server; never
#                   pipewire-alsa, which would take over "default" for the
#                   whole machine)
set -euo pipefail
want=(cmake g++ make pkg-config libasound2-dev)
if [ "${1:-run}" = test ]; then
  want+=(googletest libgtest-dev sox libsox-fmt-base alsa-utils clang libclang-rt-dev valgrind
         ffmpeg libsndfile1-dev python3 pulseaudio libasound2-plugins)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}" >&2
as_root=()
if [ "$(id -u)" -ne 0 ]; then as_root=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q >&2
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
