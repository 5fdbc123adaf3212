#!/bin/bash
# What the take file's safety costs a capture: tunevat at a base revision
# (default: the last one that buffered the take file in a stdio stream and
# left its sizes alone until the end) against this tree, side by side in
# one run, both against arecord on the same virtual card, with callgrind's
# instruction counts as the repeatable figure.
#
#   bench/takefile.sh [BASE]          # BASE: a git revision, default ebd8880
#   REPS=9 BENCH_SECONDS=300 bench/takefile.sh
#
# Run by hand; nothing here is part of the test suite.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BASE=${1:-ebd8880}
REPS=${REPS:-7}
SECONDS_OF_AUDIO=${BENCH_SECONDS:-300}
OUT=${BENCH_BUILD:-$ROOT/build-bench}

echo "Building this tree and $BASE (Release) ..." >&2
cmake -S "$ROOT" -B "$OUT/release" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF >/dev/null
make -C "$OUT/release" -j2 tunevat >/dev/null
BASESRC=$OUT/base-src
rm -rf "$BASESRC"
mkdir -p "$BASESRC"
git -C "$ROOT" archive "$BASE" | tar -x -C "$BASESRC"
cmake -S "$BASESRC" -B "$OUT/base" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF >/dev/null
make -C "$OUT/base" -j2 tunevat >/dev/null
g++ -O2 -Wall -Wextra -o "$OUT/cputime" "$ROOT/bench/cputime.cpp"
NEW=$OUT/release/tunevat
OLD=$OUT/base/tunevat

TMP=$(mktemp -d "${TMPDIR:-/tmp}/tunevat-bench.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
sox -r 44100 -n -b 16 -c 2 -e signed -t raw "$TMP/capture.raw" \
    synth $((SECONDS_OF_AUDIO + 10)) sine 440 sine 550 vol 0.5
cat >"$TMP/asound.conf" <<EOF
pcm.benchcard {
  type asym
  playback.pcm { type null }
  capture.pcm {
    type file
    slave.pcm "null"
    infile "$TMP/capture.raw"
    file "/dev/null"
    format "raw"
  }
}
EOF
export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$TMP/asound.conf"
mkdir -p "$TMP/rec"
echo "r 1 x y" >"$TMP/rec.in"
reset() {
    rm -f "$TMP/rec"/*
    sync
    printf 'dv\tbenchcard\nsr\t44100\nbits\t16\nch\t2\nd\t%s.000\ntlist\tlist.txt\nrname\ttake.wav\n' \
        "$SECONDS_OF_AUDIO" >"$TMP/rec/rcvat.txt"
}
one() {   # NAME IN command...: appends "cpu rss wall status" to $TMP/NAME
    local name=$1 in=$2
    shift 2
    reset
    (cd "$TMP/rec" && "$OUT/cputime" "$in" /dev/null "$@") >>"$TMP/$name"
}
median() { sort -g | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }

echo "Capturing $SECONDS_OF_AUDIO s, $REPS times each ..." >&2
for ((rep = 0; rep < REPS; ++rep)); do
    one new "$TMP/rec.in" "$NEW"
    one old "$TMP/rec.in" "$OLD"
    one arecord /dev/null arecord -q -D benchcard -f S16_LE -c 2 -r 44100 -d "$SECONDS_OF_AUDIO" out.wav
done
# The first figure of each of a repetition's two runs (cputime prints the
# same number of fields for both).
ratio() {
    paste -d' ' "$TMP/$1" "$TMP/$2" | awk -v n="$(head -1 "$TMP/$1" | wc -w)" '{print $1 / $(n + 1)}' |
        median
}

# Instructions, which do not depend on what else the machine does.
instr() {
    reset
    (cd "$TMP/rec" && valgrind --tool=callgrind --callgrind-out-file="$TMP/cg.out" "$@" \
        <"$TMP/rec.in" >/dev/null 2>"$TMP/cg.err")
    awk '/Collected/ {print $4}' "$TMP/cg.err" | tr -d ,
}
NEWI=$(instr "$NEW")
OLDI=$(instr "$OLD")

echo
echo "take file bench: ${SECONDS_OF_AUDIO} s of 44.1k 16-bit stereo, $REPS runs each, medians;" \
    "$(date -u +%Y-%m-%d) $(uname -m), $(nproc) cores"
printf '%-40s %10s\n' "CPU s, this tree" "$(awk '{print $1}' "$TMP/new" | median)"
printf '%-40s %10s\n' "CPU s, $BASE" "$(awk '{print $1}' "$TMP/old" | median)"
printf '%-40s %10s\n' "CPU s, arecord" "$(awk '{print $1}' "$TMP/arecord" | median)"
printf '%-40s %9.3fx\n' "this tree / $BASE (paired)" "$(ratio new old)"
printf '%-40s %9.3fx\n' "this tree / arecord (paired)" "$(ratio new arecord)"
printf '%-40s %9.3fx\n' "$BASE / arecord (paired)" "$(ratio old arecord)"
printf '%-40s %10s\n' "max RSS kB, this tree" "$(awk '{print $2}' "$TMP/new" | median)"
printf '%-40s %10s\n' "max RSS kB, $BASE" "$(awk '{print $2}' "$TMP/old" | median)"
printf '%-40s %10s\n' "instructions, this tree" "$NEWI"
printf '%-40s %10s\n' "instructions, $BASE" "$OLDI"
awk -v a="$NEWI" -v b="$OLDI" 'BEGIN {printf "%-40s %9.3fx\n", "instructions, this tree / base", a / b}'
