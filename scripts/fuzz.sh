#!/usr/bin/env bash
# Builds every libFuzzer harness fuzz/fuzz_<name>.cpp with clang and the
# sanitizers, and runs each over its seed corpus fuzz/corpus/<name> for a
# fixed number of executions (FUZZ_RUNS, default 20000). The harnesses
# link the wav and store rooms, which need nothing but the C library.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_OUT:-$root/build-fuzz}
runs=${FUZZ_RUNS:-20000}
mkdir -p "$out"
shopt -s nullglob
harnesses=("$root"/fuzz/fuzz_*.cpp)
if [ ${#harnesses[@]} -eq 0 ]; then
  echo "fuzz: no harnesses"
  exit 0
fi
for src in "${harnesses[@]}"; do
  name=$(basename "$src" .cpp)
  name=${name#fuzz_}
  bin="$out/fuzz_$name"
  clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root" "$src" "$root"/wav/*.cpp "$root"/store/*.cpp -o "$bin"
  corpus="$root/fuzz/corpus/$name"
  work="$out/corpus_$name"
  rm -rf "$work"
  mkdir -p "$work"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  # Harnesses that touch files do it in a scratch directory of their own.
  scratch=$(mktemp -d)
  echo "fuzz: $name, $runs runs"
  (cd "$scratch" && "$bin" -runs="$runs" -max_len=4096 -seed=1 -print_final_stats=1 "$work" 2>&1 | tail -n 12)
  rm -rf "$scratch"
done
echo "fuzz: all harnesses ran clean"
