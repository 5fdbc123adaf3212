#!/bin/bash
# tunevat and arecord on a private PipeWire server, recording through
# PipeWire's own ALSA plugin, each stopped (kill -STOP, then -CONT) in the
# middle of a 10-second take: the frames the plugin lost, whether tunevat
# says so ("RX", "Lost ..."), and where its take puts the silence.
#
#   bench/pipewire.sh                       # stops of 2 s and 0.5 s
#   PW_STOPS="2 1 0.3" bench/pipewire.sh
#   BENCH_BIN=old/tunevat bench/pipewire.sh # another build
#   PW_ALSA_PLUGIN=path/libasound_module_pcm_pipewire.so bench/pipewire.sh
#
# Needs pipewire, pipewire-bin, wireplumber and dbus-daemon:
#   apt-get install --no-install-recommends pipewire pipewire-bin wireplumber
# The ALSA plugin comes from the pipewire-alsa package without installing
# it (apt-get download and dpkg -x into a temporary directory), so that
# the machine's ALSA "default" stays as it is; the takes name the plugin
# in an ALSA configuration of their own. The server runs at 44.1 kHz in a
# private XDG_RUNTIME_DIR, with a virtual source fed by pw-play from
# bench/framecount.cpp, whose frames hold their own index; everything it
# starts is stopped by PID at the end. Run by hand; not part of the tests.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build-bench/release}
STOPS=${PW_STOPS:-2 0.5}

if [ -z "${BENCH_BIN:-}" ]; then
    echo "Building a Release binary in $BUILD ..." >&2
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF >/dev/null
    make -C "$BUILD" -j2 tunevat >/dev/null
fi
TUNEVAT=$(realpath "${BENCH_BIN:-$BUILD/tunevat}")

TMP=$(mktemp -d "${TMPDIR:-/tmp}/tunevat-pw.XXXXXX")
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; done
    rm -rf "$TMP"
}
trap cleanup EXIT
mkdir -m 700 "$TMP/run"
g++ -O2 -Wall -Wextra -o "$TMP/framecount" "$ROOT/bench/framecount.cpp"

PLUGIN=${PW_ALSA_PLUGIN:-}
if [ -z "$PLUGIN" ]; then
    (cd "$TMP" && apt-get download pipewire-alsa >/dev/null 2>&1 && dpkg -x pipewire-alsa_*.deb alsa)
    PLUGIN=$(find "$TMP/alsa" -name libasound_module_pcm_pipewire.so | head -n 1)
fi
cat > "$TMP/asound.conf" <<EOF
pcm_type.pipewire { lib "$PLUGIN" }
pcm.pwcap { type pipewire server "pipewire-0" playback_node "-1" capture_node "-1" }
EOF

# The server's configuration: the packaged one at 44.1 kHz, with a virtual
# source whose input the feeder is linked to.
mkdir "$TMP/conf"
sed -e 's/^ *#default.clock.rate .*/    default.clock.rate = 44100/' \
    -e 's/^ *#default.clock.allowed-rates .*/    default.clock.allowed-rates = [ 44100 ]/' \
    -e 's/^context.objects = \[/&\n    { factory = adapter args = { factory.name = support.null-audio-sink node.name = "tv-source" media.class = "Audio\/Source\/Virtual" audio.position = "FL,FR" audio.rate = 44100 } }/' \
    /usr/share/pipewire/pipewire.conf > "$TMP/conf/pipewire.conf"

export XDG_RUNTIME_DIR=$TMP/run
export DBUS_SESSION_BUS_ADDRESS=unix:path=$TMP/run/bus
export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$TMP/asound.conf
PIDS+=("$(dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --fork --print-pid)")
PIPEWIRE_CONFIG_DIR=$TMP/conf setsid pipewire >"$TMP/pipewire.log" 2>&1 &
PIDS+=($!)
sleep 1
setsid wireplumber >"$TMP/wireplumber.log" 2>&1 &
PIDS+=($!)
setsid sh -c "'$TMP/framecount' | pw-play --latency 200ms --rate 44100 --channels 2 --format s16 \
    --target 0 -P '{ node.name = tv-feed }' -" >"$TMP/feed.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do pw-link -o 2>/dev/null | grep -q tv-feed:output_FR && break; sleep 0.1; done
pw-link tv-feed:output_FL tv-source:input_FL
pw-link tv-feed:output_FR tv-source:input_FR

# Where the frames' indices jump in a recording (44-byte header or none):
# the silence and the frames lost, each with its place in the take.
cat > "$TMP/gaps.py" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()[int(sys.argv[2]):]
n = len(data) // 4
def index(i):
    l, r = struct.unpack_from('<HH', data, 4 * i)
    if l == 0 and r == 0: return -1
    return (l >> 1) | ((r >> 1) << 15) if l & 1 and r & 1 else -2
last, silent, base = None, 0, None
for i in range(n):
    x = index(i)
    if x == -1:
        silent += 1
        continue
    if base is None: base = x - i
    if silent and last is not None:
        print("    %6d silent frames at %.3f s" % (silent, (i - silent) / 44100))
    if last is not None and x != last + 1:
        print("    %+6d frames of the source at %.3f s" % (x - last - 1, i / 44100))
    silent, last = 0, x
if last is not None:
    print("    %d frames; the last is %+d frames from where the first puts it" % (n, last - base - (n - 1)))
EOF

STOP_AT=4.5
for stop in $STOPS; do
    echo "== stopped for $stop s, $STOP_AT s into a 10-second take"
    dir=$TMP/take; rm -rf "$dir"; mkdir "$dir"
    printf 'dv\tpwcap\nsr\t44100\nbits\t16\nch\t2\nd\t10\ntlist\ttlist.txt\nrname\ttake.wav\n' \
        > "$dir/rcvat.txt"
    mkfifo "$dir/in"
    (cd "$dir" && HOME=$dir exec "$TUNEVAT" < in > out.txt 2> err.txt) &
    pid=$!
    exec 3> "$dir/in"
    printf 'r\n1\n' >&3
    sleep "$STOP_AT"
    kill -STOP "$pid"; sleep "$stop"; kill -CONT "$pid"
    sleep 9
    printf 'q\n' >&3
    exec 3>&-
    wait "$pid"
    echo "  tunevat says: $(grep -ao 'RX\|Lost [^[:cntrl:]]*' "$dir/out.txt" | tr '\n' ' ')$(cat "$dir/err.txt")"
    python3 "$TMP/gaps.py" "$dir/take.wav" 44
    arecord -q -D pwcap -f S16_LE -c 2 -r 44100 -d 10 -t raw "$TMP/arecord.raw" &
    pid=$!
    sleep "$STOP_AT"
    kill -STOP "$pid"; sleep "$stop"; kill -CONT "$pid"
    wait "$pid"
    echo "  arecord:"
    python3 "$TMP/gaps.py" "$TMP/arecord.raw" 0
done
