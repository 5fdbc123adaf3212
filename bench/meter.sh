#!/bin/bash
# What the live meter costs: the same take recorded with standard output
# on a pseudo-terminal (the meter redrawn about ten times a second beside
# the time left, the picture after the take) and on a pipe (the plain
# running line), side by side, CPU seconds of tunevat alone.
#
#   bench/meter.sh                  # one 10-minute take each way, in real time
#   MINUTES=2 REPS=3 bench/meter.sh
#
# The takes come from the paced capture device (tests/paced_pcm.cpp, built
# here), which delivers in real time as a card does, at 96 kHz, 24-bit,
# stereo: a device faster than real time would leave the meter, which
# redraws by the clock, almost nothing to do. So each take lasts its
# minutes: the default run takes about 20 minutes, and costs almost no CPU
# of its own. Run by hand; nothing here is part of the test suite.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build-bench/release}
MINUTES=${MINUTES:-10}
REPS=${REPS:-1}

mkdir -p "$BUILD"
if [ -z "${BENCH_BIN:-}" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF >/dev/null
    make -C "$BUILD" -j2 tunevat >/dev/null
fi
TUNEVAT=${BENCH_BIN:-$BUILD/tunevat}
g++ -O2 -Wall -Wextra -o "$BUILD/cputime" "$ROOT/bench/cputime.cpp"
g++ -O2 -shared -fPIC -DPIC -o "$BUILD/libasound_module_pcm_tvpaced.so" \
    "$ROOT/tests/paced_pcm.cpp" $(pkg-config --cflags --libs alsa)

TMP=$(mktemp -d "${TMPDIR:-/tmp}/tunevat-meter.XXXXXX")
HOLDER=
cleanup() {
    if [ -n "$HOLDER" ]; then kill "$HOLDER" 2>/dev/null || true; fi
    rm -rf "$TMP"
}
trap cleanup EXIT

cat >"$TMP/asound.conf" <<EOF
pcm_type.tvpaced { lib "$BUILD/libasound_module_pcm_tvpaced.so" }
pcm.benchpaced { type asym playback.pcm "null" capture.pcm { type tvpaced } }
EOF
export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$TMP/asound.conf"
printf 'dv\tbenchpaced\nsr\t96000\nbits\t24\nch\t2\nd\t%s.000\ntlist\tlist.txt\nrname\ttake.wav\n' \
    $((MINUTES * 60)) >"$TMP/rcvat.orig"
echo "r 1 x y" >"$TMP/rec.in"

# A terminal 80 columns wide whose output is read and counted: the master
# side held by a small Python program that writes the slave's name, then
# drains it until it is killed, and at the end the meter's redraws.
python3 - "$TMP/pty.name" "$TMP/pty.count" <<'EOF' &
import os, pty, sys, fcntl, termios, struct, signal
master, slave = pty.openpty()
fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack('HHHH', 24, 80, 0, 0))
open(sys.argv[1], 'w').write(os.ttyname(slave) + '\n')
count = 0
def done(*_):
    open(sys.argv[2], 'w').write('%d\n' % count)
    sys.exit(0)
signal.signal(signal.SIGTERM, done)
while True:
    count += os.read(master, 65536).count(b'\r')
EOF
HOLDER=$!
while [ ! -s "$TMP/pty.name" ]; do sleep 0.1; done
PTY=$(cat "$TMP/pty.name")
mkfifo "$TMP/pipe"

# once WHERE: one take with standard output on the terminal or the pipe;
# appends "cpu rss wall ..." to $TMP/WHERE.runs.
once() {
    rm -f "$TMP"/take.wav "$TMP"/tunevat_temp.wav
    cp "$TMP/rcvat.orig" "$TMP/rcvat.txt"
    sync
    local out=$PTY reader=
    if [ "$1" = pipe ]; then
        cat "$TMP/pipe" >/dev/null &
        reader=$!
        out=$TMP/pipe
    fi
    (cd "$TMP" && "$BUILD/cputime" "$TMP/rec.in" "$out" "$TUNEVAT") >>"$TMP/$1.runs"
    if [ -n "$reader" ]; then wait "$reader"; fi
}

echo "Takes of $MINUTES min at 96 kHz 24-bit stereo, $REPS each way ..." >&2
for ((rep = 0; rep < REPS; ++rep)); do
    once terminal
    once pipe
done
kill "$HOLDER"
wait "$HOLDER" 2>/dev/null || true
HOLDER=

median() {
    sort -g | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'
}
term=$(awk '{print $1}' "$TMP/terminal.runs" | median)
pipe=$(awk '{print $1}' "$TMP/pipe.runs" | median)
echo
echo "tunevat, a $MINUTES-minute take, median of $REPS; $(date -u +%Y-%m-%d) $(uname -m), $(nproc) cores"
awk -v t="$term" -v p="$pipe" -v m="$MINUTES" 'BEGIN {
    printf "%-34s %8.3f s\n", "on a terminal (the meter), CPU", t
    printf "%-34s %8.3f s\n", "on a pipe, CPU", p
    printf "%-34s %+8.3f s  (%.2fx; %+.3f s per hour of audio)\n", "the meter", t - p, t / p, (t - p) * 60 / m
}'
echo "redraws seen on the terminal: $(cat "$TMP/pty.count") in all"
