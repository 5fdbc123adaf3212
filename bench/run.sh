#!/bin/bash
# Benchmarks of tunevat against aplay/arecord and against the floor (a
# program that does only the work the format demands) and cat.
#
#   bench/run.sh            # 5 repetitions, medians
#   REPS=3 bench/run.sh     # fewer repetitions
#   BENCH_RUNS=dir bench/run.sh   # also keep every single run's figures
#   BENCH_ONLY=t bench/run.sh     # only the inspection rows (t on 1022 files)
#   BENCH_BIN=path bench/run.sh   # time that tunevat binary instead of building
#
# Builds a Release binary into build-bench/release, makes its test files
# with sox in a temporary directory (removed at the end) and prints one
# table. Run by hand; nothing here is part of the test suite.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build-bench/release}
REPS=${REPS:-5}
SECONDS_OF_AUDIO=${BENCH_SECONDS:-600}

ONLY=${BENCH_ONLY:-}
echo "Building Release binaries in $BUILD ..." >&2
mkdir -p "$BUILD"
if [ -z "${BENCH_BIN:-}" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF >/dev/null
    make -C "$BUILD" -j2 tunevat >/dev/null
fi
g++ -O2 -Wall -Wextra -o "$BUILD/cputime" "$ROOT/bench/cputime.cpp"
g++ -O2 -Wall -Wextra -o "$BUILD/floor" "$ROOT/bench/floor.cpp" -lasound
TUNEVAT=${BENCH_BIN:-$BUILD/tunevat}
CPUTIME=$BUILD/cputime
FLOOR=$BUILD/floor

TMP=$(mktemp -d "${TMPDIR:-/tmp}/tunevat-bench.XXXXXX")
trap 'rm -rf "$TMP"' EXIT

echo "Making test files in $TMP ..." >&2
if [ "$ONLY" != t ]; then
sox -r 48000 -n -b 24 -c 2 "$TMP/st24.wav" synth "$SECONDS_OF_AUDIO" sine 440 sine 660 vol 0.5
sox -r 44100 -n -b 16 -c 1 "$TMP/mono16.wav" synth "$SECONDS_OF_AUDIO" sine 440 vol 0.5
# Capture input: a little longer than the take, raw 16-bit stereo.
sox -r 44100 -n -b 16 -c 2 -e signed -t raw "$TMP/capture.raw" \
    synth $((SECONDS_OF_AUDIO + 10)) sine 440 sine 550 vol 0.5

fi   # not BENCH_ONLY=t

# The virtual card: capture reads capture.raw, playback goes nowhere.
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
ALSA_CONF="/usr/share/alsa/alsa.conf:$TMP/asound.conf"

# run DIR IN -- command...: one run with cputime; prints "cpu rss wall".
run() {
    local dir=$1 in=$2
    shift 3
    (cd "$dir" && ALSA_CONFIG_PATH=$ALSA_CONF "$CPUTIME" "$in" /dev/null "$@")
}

# median of the numbers on standard input
median() {
    sort -g | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'
}

# once NAME PREP DIR IN -- command...: one run (PREP first), appended to
# $TMP/NAME.runs. The workloads that are compared take turns within every
# repetition, so a slow spell on a shared machine hits ours and the
# peer's alike.
once() {
    local name=$1 prep=$2 dir=$3 in=$4
    shift 5
    $prep
    local out code
    out=$(run "$dir" "$in" -- "$@")
    code=$(echo "$out" | awk '{print $4}')
    if [ "$code" != 0 ]; then
        echo "$name: exit status $code" >&2
        exit 1
    fi
    echo "$out" >>"$TMP/$name.runs"
}

# summarise NAME...: the medians of each NAME's runs go into $TMP/NAME.cpu,
# .rss and .wall.
summarise() {
    local name
    for name in "$@"; do
        awk '{print $1}' "$TMP/$name.runs" | median >"$TMP/$name.cpu"
        awk '{print $2}' "$TMP/$name.runs" | median >"$TMP/$name.rss"
        awk '{print $3}' "$TMP/$name.runs" | median >"$TMP/$name.wall"
        echo "  $name: cpu $(cat "$TMP/$name.cpu") s, rss $(cat "$TMP/$name.rss") kB" >&2
    done
}

nothing() { :; }

if [ "$ONLY" != t ]; then
# --- playback -------------------------------------------------------------
PLAYDIR=$TMP/play
mkdir -p "$PLAYDIR"
printf 'dv\tnull\ntlist\tlist.txt\n' >"$PLAYDIR/rcvat.txt"
printf '%s\n' "$TMP/st24.wav" "$TMP/mono16.wav" >"$PLAYDIR/list.txt"
echo "o $SECONDS_OF_AUDIO 1p x y" >"$TMP/play1.in"
echo "o $SECONDS_OF_AUDIO 2p x y" >"$TMP/play2.in"
# The same session without the playback: start-up and exit only.
echo "x y" >"$TMP/quit.in"

echo "Playback ..." >&2
for ((rep = 0; rep < REPS; ++rep)); do
    once tv_play24 nothing "$PLAYDIR" "$TMP/play1.in" -- "$TUNEVAT"
    once ap_play24 nothing "$PLAYDIR" /dev/null -- aplay -D null -q "$TMP/st24.wav"
    once fl_play24 nothing "$PLAYDIR" /dev/null -- "$FLOOR" play "$TMP/st24.wav" null
    once cat_play24 nothing "$PLAYDIR" "$TMP/st24.wav" -- cat
    once tv_play16 nothing "$PLAYDIR" "$TMP/play2.in" -- "$TUNEVAT"
    once ap_play16 nothing "$PLAYDIR" /dev/null -- aplay -D null -q "$TMP/mono16.wav"
    once fl_play16 nothing "$PLAYDIR" /dev/null -- "$FLOOR" play "$TMP/mono16.wav" null
    once cat_play16 nothing "$PLAYDIR" "$TMP/mono16.wav" -- cat
done
summarise tv_play24 ap_play24 fl_play24 cat_play24 tv_play16 ap_play16 fl_play16 cat_play16

# --- capture --------------------------------------------------------------
RECDIR=$TMP/rec
mkdir -p "$RECDIR"
resetRec() {
    rm -f "$RECDIR"/*
    # Every capture starts with no dirty pages left by the one before, so
    # none of them pays for writing back another's take.
    sync
    printf 'dv\tbenchcard\nsr\t44100\nbits\t16\nch\t2\nd\t%s.000\ntlist\tlist.txt\nrname\ttake.wav\n' \
        "$SECONDS_OF_AUDIO" >"$RECDIR/rcvat.txt"
}
echo "r 1 x y" >"$TMP/rec.in"

echo "Capture ..." >&2
for ((rep = 0; rep < REPS; ++rep)); do
    once tv_rec resetRec "$RECDIR" "$TMP/rec.in" -- "$TUNEVAT"
    once ar_rec resetRec "$RECDIR" /dev/null -- arecord -q -D benchcard -f S16_LE -c 2 -r 44100 \
        -d "$SECONDS_OF_AUDIO" out.wav
    once ari_rec resetRec "$RECDIR" /dev/null -- arecord -q -I -D benchcard -f S16_LE -c 2 \
        -r 44100 -d "$SECONDS_OF_AUDIO" out.wav
    once fl_rec resetRec "$RECDIR" /dev/null -- "$FLOOR" record benchcard 44100 \
        "$SECONDS_OF_AUDIO" out.wav
    once fln_rec resetRec "$RECDIR" /dev/null -- "$FLOOR" record-channels benchcard 44100 \
        "$SECONDS_OF_AUDIO" out.wav
    once cat_rec nothing "$RECDIR" "$TMP/capture.raw" -- cat
done
summarise tv_rec ar_rec ari_rec fl_rec fln_rec cat_rec

# Check that the take really holds the ten minutes.
resetRec
run "$RECDIR" "$TMP/rec.in" -- "$TUNEVAT" >/dev/null
echo "  take: $(soxi -D "$RECDIR/take.wav") s" >&2

fi   # not BENCH_ONLY=t

# --- inspecting files -----------------------------------------------------
TDIR=$TMP/attr
mkdir -p "$TDIR"
# 1 MB each: 1048576 bytes of 16-bit stereo at 44100 Hz after the header.
sox -r 44100 -n -b 16 -c 2 "$TDIR/g.wav" synth 262133s sine 440 vol 0.5
# The same bytes without a data chunk: its tag renamed.
cp "$TDIR/g.wav" "$TDIR/b.wav"
DATA_AT=$(grep -obUa data "$TDIR/g.wav" | head -1 | cut -d: -f1)
printf 'dat_' | dd of="$TDIR/b.wav" bs=1 seek="$DATA_AT" conv=notrunc status=none
: >"$TDIR/list.txt"
for ((k = 1; k <= 511; ++k)); do
    cp "$TDIR/g.wav" "$TDIR/g$k.wav"
    cp "$TDIR/b.wav" "$TDIR/b$k.wav"
    printf 'g%d.wav\nb%d.wav\n' "$k" "$k" >>"$TDIR/list.txt"
done
: >"$TDIR/empty.txt"
printf 'dv\tnull\ntlist\tlist.txt\n' >"$TDIR/rcvat.txt"
printf 'dv\tnull\ntlist\tempty.txt\n' >"$TDIR/rcvat-empty.txt"
# Files as other programs write them: a LIST chunk before the audio and a
# levl chunk after it (ffmpeg), 1 MB each, so the walk reads a chunk
# after the audio as well as the head.
ODIR=$TMP/other
mkdir -p "$ODIR"
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i "aevalsrc=0.5*sin(440*2*PI*t):s=44100:d=5.94" \
    -ac 2 -bitexact -metadata title=take -write_peak on -c:a pcm_s16le "$ODIR/o.wav"
: >"$ODIR/list.txt"
for ((k = 1; k <= 1022; ++k)); do
    cp "$ODIR/o.wav" "$ODIR/o$k.wav"
    printf 'o%d.wav\n' "$k" >>"$ODIR/list.txt"
done
: >"$ODIR/empty.txt"
printf 'dv\tnull\ntlist\tlist.txt\n' >"$ODIR/rcvat.txt.full"
printf 'dv\tnull\ntlist\tempty.txt\n' >"$ODIR/rcvat-empty.txt"
useOtherFull() { cp "$ODIR/rcvat.txt.full" "$ODIR/rcvat.txt"; }
useOtherEmpty() { cp "$ODIR/rcvat-empty.txt" "$ODIR/rcvat.txt"; }
echo "t c x y" >"$TMP/t.in"
useFull() { cp "$TDIR/rcvat.txt.full" "$TDIR/rcvat.txt"; }
useEmpty() { cp "$TDIR/rcvat-empty.txt" "$TDIR/rcvat.txt"; }
cp "$TDIR/rcvat.txt" "$TDIR/rcvat.txt.full"

echo "Inspecting files ..." >&2
for ((rep = 0; rep < REPS; ++rep)); do
    once tv_t1022 useFull "$TDIR" "$TMP/t.in" -- "$TUNEVAT"
    once tv_t0 useEmpty "$TDIR" "$TMP/t.in" -- "$TUNEVAT"
    once tv_o1022 useOtherFull "$ODIR" "$TMP/t.in" -- "$TUNEVAT"
    once tv_o0 useOtherEmpty "$ODIR" "$TMP/t.in" -- "$TUNEVAT"
done
summarise tv_t1022 tv_t0 tv_o1022 tv_o0

if [ "$ONLY" != t ]; then
# Start-up with a full list file: 1024 lines of 127 characters, 131072 bytes.
SDIR=$TMP/start
mkdir -p "$SDIR"
for ((k = 0; k < 1024; ++k)); do printf '%0127d\n' "$k"; done >"$SDIR/list.txt"
printf 'dv\tnull\ntlist\tlist.txt\n' >"$SDIR/rcvat.txt"
for ((rep = 0; rep < REPS; ++rep)); do
    once tv_start nothing "$SDIR" "$TMP/quit.in" -- "$TUNEVAT"
    once tv_start0 nothing "$PLAYDIR" "$TMP/quit.in" -- "$TUNEVAT"
done
summarise tv_start tv_start0
fi   # not BENCH_ONLY=t

# Every single run, for a closer look: BENCH_RUNS=dir bench/run.sh
if [ -n "${BENCH_RUNS:-}" ]; then
    mkdir -p "$BENCH_RUNS"
    cp "$TMP"/*.runs "$BENCH_RUNS"/
fi

# --- table ----------------------------------------------------------------
v() { cat "$TMP/$1"; }
# pairs OURS PEER COLUMN: the median over the repetitions of ours / peer,
# each repetition's two runs having been made one after the other.
pairs() {
    paste -d' ' "$TMP/$1.runs" "$TMP/$2.runs" |
        awk -v c="$3" -v n="$(head -1 "$TMP/$1.runs" | wc -w)" '$(c + n) > 0 {print $c / $(c + n)}' |
        median
}
row() {   # label ours peer floor cat target unit [ratio]
    awk -v l="$1" -v o="$2" -v p="$3" -v f="$4" -v c="$5" -v t="$6" -v u="$7" -v q="${8:-}" 'BEGIN {
        r = (q != "") ? sprintf("%.2fx", q) : (p > 0) ? sprintf("%.2fx", o / p) : "-";
        rf = (f > 0) ? sprintf("%.2fx", o / f) : "-";
        rc = (c > 0) ? sprintf("%.1fx", o / c) : "-";
        printf "%-34s %9.3f %9.3f %7s %7s %9.3f %7s %9.3f %7s  %s\n", l, o, p, r, t, f, rf, c, rc, u
    }'
}
echo
echo "tunevat bench: $REPS runs each, medians (ratio: median of each repetition's ours/peer);" \
    "$(date -u +%Y-%m-%d) $(uname -m), $(nproc) cores"
printf '%-34s %9s %9s %7s %7s %9s %7s %9s %7s  %s\n' workload tunevat peer ratio target floor \
    "/floor" cat "/cat" unit
PERFILE=$(awk -v a="$(v tv_t1022.wall)" -v b="$(v tv_t0.wall)" 'BEGIN {print (a - b) * 1000 / 1022}')
OTHERFILE=$(awk -v a="$(v tv_o1022.wall)" -v b="$(v tv_o0.wall)" 'BEGIN {print (a - b) * 1000 / 1022}')
if [ "$ONLY" = t ]; then
    row "t on 1022 files (511 no data)" "$PERFILE" 0 0 0 "<=0.1ms" "ms per file (wall)"
    row "t on 1022 ffmpeg files (LIST, levl)" "$OTHERFILE" 0 0 0 "<=0.1ms" "ms per file (wall)"
    exit 0
fi
row "play 48k 24-bit stereo, CPU" "$(v tv_play24.cpu)" "$(v ap_play24.cpu)" "$(v fl_play24.cpu)" \
    "$(v cat_play24.cpu)" "<=1.2x" "s (aplay)" "$(pairs tv_play24 ap_play24 1)"
row "play 44.1k 16-bit mono, CPU" "$(v tv_play16.cpu)" "$(v ap_play16.cpu)" "$(v fl_play16.cpu)" \
    "$(v cat_play16.cpu)" "<=3x" "s (aplay)" "$(pairs tv_play16 ap_play16 1)"
row "capture 44.1k 16-bit stereo, CPU" "$(v tv_rec.cpu)" "$(v ar_rec.cpu)" "$(v fl_rec.cpu)" \
    "$(v cat_rec.cpu)" "<=1.5x" "s (arecord)" "$(pairs tv_rec ar_rec 1)"
row "  same, against arecord -I" "$(v tv_rec.cpu)" "$(v ari_rec.cpu)" "$(v fln_rec.cpu)" \
    "$(v cat_rec.cpu)" "-" "s (arecord -I)" "$(pairs tv_rec ari_rec 1)"
row "play 48k 24-bit stereo, max RSS" "$(v tv_play24.rss)" "$(v ap_play24.rss)" \
    "$(v fl_play24.rss)" "$(v cat_play24.rss)" "<=1x" "kB (aplay)" "$(pairs tv_play24 ap_play24 2)"
row "play 44.1k 16-bit mono, max RSS" "$(v tv_play16.rss)" "$(v ap_play16.rss)" \
    "$(v fl_play16.rss)" "$(v cat_play16.rss)" "<=1x" "kB (aplay)" "$(pairs tv_play16 ap_play16 2)"
row "capture, max RSS" "$(v tv_rec.rss)" "$(v ar_rec.rss)" "$(v fl_rec.rss)" "$(v cat_rec.rss)" \
    "<=1x" "kB (arecord)" "$(pairs tv_rec ar_rec 2)"
row "t on 1022 files (511 no data)" "$PERFILE" 0 0 0 "<=0.1ms" "ms per file (wall)"
row "t on 1022 ffmpeg files (LIST, levl)" "$OTHERFILE" 0 0 0 "<=0.1ms" "ms per file (wall)"
row "start-up, 131072-byte list" "$(awk -v a="$(v tv_start.wall)" 'BEGIN {print a * 1000}')" \
    "$(awk -v a="$(v tv_start0.wall)" 'BEGIN {print a * 1000}')" 0 0 "-" "ms wall (peer: 2-track list)"
