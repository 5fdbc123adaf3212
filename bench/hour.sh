#!/bin/bash
# What an hour of audio costs: CPU seconds and peak memory of tunevat
# against arecord and aplay, per hour of audio, as the difference between
# a long and a short run of the same workload (so that start-up, opening
# the device and the saves at quit do not count), with the short runs
# reported apart.
#
#   bench/hour.sh                        # 60 and 10 minutes of audio
#   REPS=9 CAPTURE_REPS=5 bench/hour.sh  # more runs on a noisy machine
#   LONG_MIN=30 SHORT_MIN=5 bench/hour.sh
#   BENCH_BIN=path bench/hour.sh         # that tunevat binary instead of building
#   BENCH_RING_KB=n bench/hour.sh        # the capture ring's bound in kB
#   BENCH_RUNS=dir bench/hour.sh         # also keep every single run's figures
#   BENCH_ONLY=capture bench/hour.sh     # the capture rows alone
#
# Workloads, each with its peer on the same device and format:
#   capture 96 kHz 24-bit stereo on the virtual card (capture from a named
#     pipe that bench/feed keeps full of a tone, playback to null), one
#     take answered "1", against arecord;
#   playback of a 48 kHz 24-bit stereo file, a 44.1 kHz 16-bit mono file
#     and a 48 kHz 24-bit mono file through ALSA's null device, against
#     aplay (-d limits aplay to the short run's minutes of the same file;
#     tunevat sends mono as two channels, aplay as one).
# Builds a Release binary into build-bench/release, makes its files in a
# temporary directory (removed at the end: about 1.9 GB for the three
# playback files, and up to 2 GB for each long take while it runs) and
# prints one table. Run by hand; nothing here is part of the test suite.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build-bench/release}
REPS=${REPS:-7}                  # playback: quick, and noisy on a shared machine
CAPTURE_REPS=${CAPTURE_REPS:-3}  # capture: each long run writes 2 GB
LONG_MIN=${LONG_MIN:-60}
SHORT_MIN=${SHORT_MIN:-10}
LONG_S=$((LONG_MIN * 60))
SHORT_S=$((SHORT_MIN * 60))
# The bound on what the capture holds in memory while the disk or the
# terminal keeps it waiting; unless the program's own figure is given, 10
# seconds of 96 kHz 24-bit stereo (96000 x 6 x 10 bytes = 5625 kB).
RING_KB=${BENCH_RING_KB:-5625}
RING_SAID=${BENCH_RING_KB:+given}
RING_SAID=${RING_SAID:-assumed: 10 s of 96k/24-bit stereo}

echo "Building Release binaries in $BUILD ..." >&2
mkdir -p "$BUILD"
if [ -z "${BENCH_BIN:-}" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF >/dev/null
    make -C "$BUILD" -j2 tunevat >/dev/null
fi
g++ -O2 -Wall -Wextra -o "$BUILD/cputime" "$ROOT/bench/cputime.cpp"
g++ -O2 -Wall -Wextra -o "$BUILD/feed" "$ROOT/bench/feed.cpp"
TUNEVAT=${BENCH_BIN:-$BUILD/tunevat}
CPUTIME=$BUILD/cputime

TMP=$(mktemp -d "${TMPDIR:-/tmp}/tunevat-hour.XXXXXX")
FEEDER=
cleanup() {
    if [ -n "$FEEDER" ]; then kill "$FEEDER" 2>/dev/null || true; wait "$FEEDER" 2>/dev/null || true; fi
    rm -rf "$TMP"
}
trap cleanup EXIT

echo "Making test files in $TMP ..." >&2
ONLY=${BENCH_ONLY:-}
# One minute synthesised, repeated to the long run's length.
[ "$ONLY" = capture ] || sox -r 48000 -n -b 24 -c 2 "$TMP/st24.wav" synth 60 sine 440 sine 660 vol 0.5 repeat $((LONG_MIN - 1))
[ "$ONLY" = capture ] || sox -r 44100 -n -b 16 -c 1 "$TMP/mono16.wav" synth 60 sine 440 vol 0.5 repeat $((LONG_MIN - 1))
[ "$ONLY" = capture ] || sox -r 48000 -n -b 24 -c 1 "$TMP/mono24.wav" synth 60 sine 440 vol 0.5 repeat $((LONG_MIN - 1))
# Capture input: ten seconds of tone, fed round and round into a pipe.
sox -r 96000 -n -b 24 -c 2 -e signed -t raw "$TMP/tone.raw" synth 10 sine 440 sine 550 vol 0.5
mkfifo "$TMP/capture.fifo"
"$BUILD/feed" "$TMP/capture.fifo" "$TMP/tone.raw" &
FEEDER=$!

cat >"$TMP/asound.conf" <<EOF
pcm.benchcard {
  type asym
  playback.pcm { type null }
  capture.pcm {
    type file
    slave.pcm "null"
    infile "$TMP/capture.fifo"
    file "/dev/null"
    format "raw"
  }
}
EOF
ALSA_CONF="/usr/share/alsa/alsa.conf:$TMP/asound.conf"

# once NAME DIR IN -- command...: one run with cputime, its figures
# ("cpu rss wall status ...") appended to $TMP/NAME.runs.
once() {
    local name=$1 dir=$2 in=$3
    shift 4
    local out
    out=$(cd "$dir" && ALSA_CONFIG_PATH=$ALSA_CONF "$CPUTIME" "$in" /dev/null "$@")
    if [ "$(echo "$out" | awk '{print $4}')" != 0 ]; then
        echo "$name: exit status $(echo "$out" | awk '{print $4}')" >&2
        exit 1
    fi
    echo "$out" >>"$TMP/$name.runs"
}

# --- playback -------------------------------------------------------------
PLAYDIR=$TMP/play
mkdir -p "$PLAYDIR"
printf 'dv\tnull\ntlist\tlist.txt\n' >"$PLAYDIR/rcvat.orig"
printf '%s\n' "$TMP/st24.wav" "$TMP/mono16.wav" "$TMP/mono24.wav" >"$PLAYDIR/list.txt"
for len in long short; do
    s=$LONG_S
    [ $len = short ] && s=$SHORT_S
    echo "o $s 1p x y" >"$TMP/st24.$len.in"
    echo "o $s 2p x y" >"$TMP/mono16.$len.in"
    echo "o $s 3p x y" >"$TMP/mono24.$len.in"
done
# "x y" quits without saving; the settings are put back all the same.
resetPlay() { cp "$PLAYDIR/rcvat.orig" "$PLAYDIR/rcvat.txt"; }

[ "$ONLY" = capture ] && REPS=0
echo "Playback, $REPS repetitions ..." >&2
for ((rep = 0; rep < REPS; ++rep)); do
    for w in st24 mono16 mono24; do
        for len in long short; do
            s=$LONG_S
            [ $len = short ] && s=$SHORT_S
            resetPlay
            once "tv_$w.$len" "$PLAYDIR" "$TMP/$w.$len.in" -- "$TUNEVAT"
            once "peer_$w.$len" "$PLAYDIR" /dev/null -- aplay -D null -q -d "$s" "$TMP/$w.wav"
        done
    done
done

# --- capture --------------------------------------------------------------
RECDIR=$TMP/rec
mkdir -p "$RECDIR"
# resetRec SECONDS: no take left, and no dirty pages of the last one (a
# run does not pay for writing back another's take).
resetRec() {
    rm -f "$RECDIR"/*
    sync
    printf 'dv\tbenchcard\nsr\t96000\nbits\t24\nch\t2\nd\t%s.000\ntlist\tlist.txt\nrname\ttake.wav\n' \
        "$1" >"$RECDIR/rcvat.txt"
}
echo "r 1 x y" >"$TMP/rec.in"

echo "Capture, $CAPTURE_REPS repetitions ..." >&2
for ((rep = 0; rep < CAPTURE_REPS; ++rep)); do
    for len in long short; do
        s=$LONG_S
        [ $len = short ] && s=$SHORT_S
        resetRec "$s"
        once "tv_rec.$len" "$RECDIR" "$TMP/rec.in" -- "$TUNEVAT"
        # The take really holds the minutes asked for.
        echo "$(($(stat -c %s "$RECDIR/take.wav") - 44))" >>"$TMP/take.$len"
        resetRec "$s"
        once "peer_rec.$len" "$RECDIR" /dev/null -- arecord -q -D benchcard -f S24_3LE -c 2 \
            -r 96000 -d "$s" out.wav
    done
done
rm -f "$RECDIR"/*

if [ -n "${BENCH_RUNS:-}" ]; then
    mkdir -p "$BENCH_RUNS"
    cp "$TMP"/*.runs "$BENCH_RUNS"/
fi

# --- table ----------------------------------------------------------------
median() {
    sort -g | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'
}
# col NAME C: column C (1 CPU s, 2 peak RSS kB) of NAME's runs, one a line
col() { awk -v c="$2" '{print $c}' "$TMP/$1.runs"; }
# perHour NAME C: per repetition, (long - short) scaled to an hour
perHour() {
    paste -d' ' <(col "$1.long" "$2") <(col "$1.short" "$2") |
        awk -v l="$LONG_S" -v s="$SHORT_S" '{print ($1 - $2) * 3600 / (l - s)}'
}
# ratio OURS PEER C: the median over the repetitions of ours/peer per
# hour, each repetition's runs having been made one after the other
ratio() {
    paste -d' ' <(perHour "$1" "$2") <(perHour "$3" "$2") |
        awk '$2 > 0 {printf "%.2fx\n", $1 / $2}' | median
}
row() {   # label ours peer ratio target unit: seconds with 3 decimals, kB with none
    awk -v l="$1" -v o="$2" -v p="$3" -v r="$4" -v t="$5" -v u="$6" 'BEGIN {
        d = (u ~ /^kB/) ? 0 : 3
        printf "%-40s %9.*f %9.*f %7s %9s  %s\n", l, d, o, d, p, r, t, u
    }'
}
# describe W: label, target ratio and peer of workload W
describe() {
    case $1 in
    rec) label="capture 96k 24-bit stereo" target="<=1.0x" peer=arecord ;;
    st24) label="play 48k 24-bit stereo" target="<=1.0x" peer=aplay ;;
    mono16) label="play 44.1k 16-bit mono" target="<=1.2x" peer=aplay ;;
    mono24) label="play 48k 24-bit mono" target="<=1.2x" peer=aplay ;;
    esac
}
WORKLOADS="rec st24 mono16 mono24"
[ "$ONLY" = capture ] && WORKLOADS=rec

echo
echo "tunevat per hour of audio: ${LONG_MIN} min minus ${SHORT_MIN} min of audio, medians of" \
    "$REPS playback and $CAPTURE_REPS capture repetitions; $(date -u +%Y-%m-%d) $(uname -m)," \
    "$(nproc) cores"
printf '%-40s %9s %9s %7s %9s  %s\n' workload tunevat peer ratio target unit
for w in $WORKLOADS; do
    describe $w
    row "$label, CPU" "$(perHour "tv_$w" 1 | median)" "$(perHour "peer_$w" 1 | median)" \
        "$(ratio "tv_$w" 1 "peer_$w")" "$target" "s per hour ($peer)"
done
for w in $WORKLOADS; do
    describe $w
    tv=$(col "tv_$w.long" 2 | median)
    pe=$(col "peer_$w.long" 2 | median)
    target=-
    [ $w = rec ] && target="<=+$RING_KB"
    row "$label, peak RSS" "$tv" "$pe" "$(awk -v a="$tv" -v b="$pe" \
        'BEGIN {printf "%+d", a - b}')" "$target" "kB in ${LONG_MIN} min ($peer; ratio: ours - peer)"
done
for w in $WORKLOADS; do
    describe $w
    row "$label, RSS growth" "$(perHour "tv_$w" 2 | median)" \
        "$(perHour "peer_$w" 2 | median)" "-" "-" "kB per hour ($peer)"
done
echo "capture ring bound: $RING_KB kB ($RING_SAID)"
echo "capture takes: $(median <"$TMP/take.long") and $(median <"$TMP/take.short") data bytes" \
    "(asked: $((LONG_S * 576000)) and $((SHORT_S * 576000)), rounded up to whole periods)"

echo
echo "Short runs alone: ${SHORT_MIN} min of audio with start-up, opening the device and quitting"
printf '%-40s %9s %9s %7s %9s  %s\n' workload tunevat peer ratio target unit
for w in $WORKLOADS; do
    describe $w
    tv=$(col "tv_$w.short" 1 | median)
    pe=$(col "peer_$w.short" 1 | median)
    row "$label, CPU" "$tv" "$pe" "$(awk -v a="$tv" -v b="$pe" 'BEGIN {printf "%.2fx", a / b}')" \
        "-" "s ($peer)"
    tv=$(col "tv_$w.short" 2 | median)
    pe=$(col "peer_$w.short" 2 | median)
    row "$label, peak RSS" "$tv" "$pe" "$(awk -v a="$tv" -v b="$pe" \
        'BEGIN {printf "%+d", a - b}')" "-" "kB ($peer; ratio: ours - peer)"
done
