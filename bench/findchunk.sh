#!/usr/bin/env bash
# Builds and runs the chunk-search benchmark: GetAttributes reading the
# search window once, against the same reader probing every even offset
# with its own seek and read. Not part of the test suite (it times).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BENCH_OUT:-$root/build-bench}
mkdir -p "$out"
g++ -std=c++17 -O2 -Wall -Wextra -D_FILE_OFFSET_BITS=64 -I"$root" "$root"/bench/findchunk_bench.cpp "$root"/wav/*.cpp "$root"/files/*.cpp \
  -o "$out/findchunk_bench"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$out/findchunk_bench")
