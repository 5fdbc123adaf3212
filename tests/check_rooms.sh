#!/usr/bin/env bash
# The rooms' arrows point one way, checked on the sources and on the built
# libraries:
#   - wav/, store/, audio/, input/ and files/ include nothing from console/;
#   - audio/ includes nothing from store/; input/ and files/ nothing of ours
#     but their own header;
#   - no two files of one room call each other both ways (from the symbols
#     each object file defines and uses).
#
#   check_rooms.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
fail=0

includes() {   # room pattern: files of room that include a header matching pattern
    grep -ln "#include \"$2" "$src/$1"/*.cpp "$src/$1"/*.h 2>/dev/null || true
}
forbid() {   # room pattern why
    local hits
    hits=$(includes "$1" "$2")
    if [ -n "$hits" ]; then
        echo "$1/ must not include $2 ($3): $hits"
        fail=1
    fi
}
for room in wav store audio input files; do
    forbid "$room" "console/" "nothing below the console calls it"
done
forbid audio "store/" "the engines know nothing of the stores"
forbid wav "audio/" "the WAV room is below the engines"
forbid wav "store/" "the WAV room calls only files/"
forbid store "wav/" "the stores call only files/"
forbid store "audio/" "the stores call only files/"
forbid files "wav/" "files/ is the lowest room"
forbid files "store/" "files/ is the lowest room"
forbid files "input/" "files/ is the lowest room"
forbid input "files/" "input/ calls nothing of ours"
forbid input "wav/" "input/ calls nothing of ours"

# Calls between the files of one room, from each object's defined (T) and
# undefined (U) symbols in the room's library.
for lib in tv_console tv_audio tv_wav tv_store tv_input tv_files; do
    a=$(find "$build" -name "lib$lib.a" | head -n 1)
    if [ -z "$a" ]; then
        echo "no lib$lib.a under $build"
        fail=1
        continue
    fi
    if ! nm -A "$a" >/dev/null 2>&1; then
        echo "nm cannot read $a"
        fail=1
        continue
    fi
    pairs=$(nm -A "$a" 2>/dev/null | awk '
        { split($1, p, ":"); obj = p[2]; sym = $NF; kind = $(NF - 1) }
        kind == "T" || kind == "B" || kind == "D" || kind == "R" { def[sym] = obj }
        kind == "U" { use[obj, sym] = 1 }
        END {
            for (k in use) {
                split(k, q, SUBSEP)
                if (q[2] in def && def[q[2]] != q[1]) calls[q[1] " " def[q[2]]] = 1
            }
            for (c in calls) {
                split(c, e, " ")
                if ((e[2] " " e[1]) in calls && e[1] < e[2]) print e[1] " <-> " e[2]
            }
        }')
    if [ -n "$pairs" ]; then
        echo "$lib: files that call each other both ways:"
        echo "$pairs"
        fail=1
    fi
done
if [ "$fail" -ne 0 ]; then exit 1; fi
echo "rooms: arrows point one way"
