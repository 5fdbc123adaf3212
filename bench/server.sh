#!/bin/bash
# tunevat on a paced sound server, side by side with aplay/arecord on the
# same server, in one run: a private PulseAudio server (scripts/
# pulse-server.sh) whose null sink plays in real time, reached through
# ALSA's "default" as on a desktop.
#
#   bench/server.sh                   # 60-second files and takes
#   BENCH_SECONDS=30 bench/server.sh  # shorter
#
# Per minute of audio: CPU seconds, peak RSS, wake-ups per second
# (voluntary context switches, as /proc/PID/status counts them). Then a
# 60-second take under `stress-ng --cpu 2`, and one during which the
# recorder is stopped for 2 s (kill -STOP / -CONT) half-way: the
# over-runs each recorder reports. Run by hand; not part of the tests.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build-bench/release}
SECS=${BENCH_SECONDS:-60}

echo "Building Release binaries in $BUILD ..." >&2
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF >/dev/null
make -C "$BUILD" -j2 tunevat >/dev/null
g++ -O2 -Wall -Wextra -o "$BUILD/cputime" "$ROOT/bench/cputime.cpp"
TUNEVAT=$BUILD/tunevat
CPUTIME=$BUILD/cputime

TMP=$(mktemp -d "${TMPDIR:-/tmp}/tunevat-bench.XXXXXX")
SERVER=$(mktemp -d "${TMPDIR:-/tmp}/tunevat-pulse.XXXXXX")
cleanup() {
    bash "$ROOT/scripts/pulse-server.sh" stop "$SERVER"
    rm -rf "$TMP"
}
trap cleanup EXIT
bash "$ROOT/scripts/pulse-server.sh" start "$SERVER"
export XDG_RUNTIME_DIR=$SERVER/runtime
export HOME=$TMP

sox -R -r 44100 -n -b 16 -c 2 "$TMP/play.wav" synth "$SECS" whitenoise vol 0.5
sox -R -r 44100 -n -b 16 -c 2 -e signed -t raw "$TMP/noise.raw" synth $((SECS * 10 + 60)) \
    whitenoise vol 0.5

# Noise on the server while the captures run, so they record sound.
aplay -q -D default -t raw -f S16_LE -c 2 -r 44100 "$TMP/noise.raw" &
NOISE=$!
trap 'kill $NOISE 2>/dev/null || true; cleanup' EXIT

# measure NAME IN -- command...: one run in $TMP; prints its figures.
measure() {
    local name=$1 in=$2
    shift 3
    local out
    out=$(cd "$TMP" && "$CPUTIME" "$in" "$TMP/$name.log" "$@")
    echo "$name $out" >>"$TMP/figures"
}

printf 'dv\tdefault\ntlist\tlist.txt\n' >"$TMP/rcvat.txt"
echo "play.wav" >"$TMP/list.txt"
echo "o $SECS 1p x y" >"$TMP/play.in"
recSettings() {
    rm -f "$TMP"/take.wav "$TMP"/tunevat_temp.wav "$TMP"/out.wav
    printf 'dv\tdefault\nsr\t44100\nbits\t16\nch\t2\nd\t%s\ntlist\tlist.txt\nrname\ttake.wav\n' \
        "$SECS" >"$TMP/rcvat.txt"
}
echo "r 1 x y" >"$TMP/rec.in"

echo "Playback and capture, $SECS s each ..." >&2
measure tv_play "$TMP/play.in" -- "$TUNEVAT"
measure ap_play /dev/null -- aplay -q -D default "$TMP/play.wav"
recSettings
measure tv_rec "$TMP/rec.in" -- "$TUNEVAT"
recSettings
measure ar_rec /dev/null -- arecord -q -D default -f S16_LE -c 2 -r 44100 -d "$SECS" out.wav

echo "Captures under stress-ng --cpu 2 ..." >&2
stress-ng --cpu 2 --timeout $((SECS * 2 + 20))s --quiet &
STRESS=$!
recSettings
measure tv_stress "$TMP/rec.in" -- "$TUNEVAT"
cp "$TMP/take.wav" "$TMP/tv_stress.wav"
recSettings
measure ar_stress /dev/null -- arecord -D default -f S16_LE -c 2 -r 44100 -d "$SECS" out.wav
cp "$TMP/out.wav" "$TMP/ar_stress.wav"
kill $STRESS 2>/dev/null || true
wait $STRESS 2>/dev/null || true

echo "Captures stopped for 2 s half-way ..." >&2
# stopped NAME IN -- command...: as measure, with kill -STOP / -CONT of
# the recorder half-way.
stopped() {
    local name=$1
    (
        sleep $((SECS / 2))
        pid=$(pgrep -n -f "^$3( |\$)" || true)
        if [ -n "$pid" ]; then
            kill -STOP "$pid"
            sleep 2
            kill -CONT "$pid"
        fi
    ) &
    local helper=$!
    measure "$@"
    wait $helper || true
}
recSettings
stopped tv_stop "$TMP/rec.in" -- "$TUNEVAT"
cp "$TMP/take.wav" "$TMP/tv_stop.wav"
recSettings
stopped ar_stop /dev/null -- arecord -D default -f S16_LE -c 2 -r 44100 -d "$SECS" out.wav
cp "$TMP/out.wav" "$TMP/ar_stop.wav"

# Over-runs: tunevat prints "RX" for each period lost, arecord
# "overrun!!! (at least N ms long)".
overruns() { grep -ao "$2" "$TMP/$1.log" | wc -l; }
lostMs() {
    grep -ao 'at least [0-9.]* ms' "$TMP/$1.log" | awk '{s += $3} END {printf "%.0f", s}'
}

echo
echo "tunevat on a PulseAudio server: $SECS s each; $(date -u +%Y-%m-%d) $(uname -m), $(nproc) cores"
awk -v secs="$SECS" '
    { cpu[$1] = $2; rss[$1] = $3; wall[$1] = $4; vcs[$1] = $6; ics[$1] = $7 }
    function row(label, a, b) {
        printf "%-30s %10.3f %10.3f %10.0f %10.0f %10.1f %10.1f\n", label,
            cpu[a] * 60 / secs, cpu[b] * 60 / secs, rss[a], rss[b],
            vcs[a] / wall[a], vcs[b] / wall[b]
    }
    END {
        printf "%-30s %10s %10s %10s %10s %10s %10s\n", "workload", "CPU s/min", "peer",
            "RSS kB", "peer", "wakeups/s", "peer"
        row("play (peer aplay)", "tv_play", "ap_play")
        row("capture (peer arecord)", "tv_rec", "ar_rec")
        row("capture, stress-ng --cpu 2", "tv_stress", "ar_stress")
        row("capture, stopped 2 s", "tv_stop", "ar_stop")
    }' "$TMP/figures"
# Frames lost: the take is a stretch of the noise the server played; how
# much longer that stretch is than the sound the take holds of it.
lost() {
    python3 - "$TMP/noise.raw" "$TMP/$1.wav" <<'PY'
import sys
src = open(sys.argv[1], 'rb').read()
take = open(sys.argv[2], 'rb').read()
data = take[take.find(b'data') + 8:]
data = data[:len(data) // 4 * 4]
frames = [data[i:i + 1024] for i in range(0, len(data) - 1024, 1024)]
heard = [f for f in frames if f.strip(b'\0')]
if not heard:
    print('-')
    sys.exit()
first, last = src.find(heard[0]), src.find(heard[-1])
print((last - first) // 4 - (len(heard) - 1) * 256 if first >= 0 and last >= 0 else '?')
PY
}

echo
printf '%-30s %10s %10s %12s %12s\n' "over-runs, frames lost" tunevat arecord "tunevat lost" "arecord lost"
printf '%-30s %10s %10s %12s %12s\n' "capture, stress-ng --cpu 2" "$(overruns tv_stress RX)" \
    "$(overruns ar_stress overrun)" "$(lost tv_stress)" "$(lost ar_stress)"
printf '%-30s %10s %10s %12s %12s\n' "capture, stopped 2 s" "$(overruns tv_stop RX)" \
    "$(overruns ar_stop overrun)" "$(lost tv_stop)" "$(lost ar_stop)"
echo
printf '%-30s %10s %10s %14s\n' "over-runs" tunevat arecord "arecord lost"
printf '%-30s %10s %10s %11s ms\n' "capture, stress-ng --cpu 2" "$(overruns tv_stress RX)" \
    "$(overruns ar_stress overrun)" "$(lostMs ar_stress)"
printf '%-30s %10s %10s %11s ms\n' "capture, stopped 2 s" "$(overruns tv_stop RX)" \
    "$(overruns ar_stop overrun)" "$(lostMs ar_stop)"
