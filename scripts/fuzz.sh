#!/usr/bin/env bash
# Builds every libFuzzer harness fuzz/fuzz_<name>.cpp with clang and the
# sanitizers, and runs each over its seed corpus fuzz/corpus/<name> for a
# fixed number of executions (FUZZ_RUNS, default 20000). The harnesses
# link the wav, store and files rooms, which need nothing but the C library; the
# console harness also links the console, audio and input rooms and libasound,
# and runs its inputs against a virtual sound card of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_OUT:-$root/build-fuzz}
runs=${FUZZ_RUNS:-20000}
# A console input is a whole session with recordings: a tenth of the runs.
console_runs=${FUZZ_CONSOLE_RUNS:-$(( runs / 10 ))}
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
  extra=()
  flags=(-max_len=4096)
  if [ "$name" = console ]; then
    for f in "$root"/console/*.cpp "$root"/audio/*.cpp "$root"/input/*.cpp; do
      [ "$(basename "$f")" = main.cpp ] || extra+=("$f")
    done
    extra+=(-lasound -lm -pthread)
    # Short word streams; a whole session per input, so a bound per input
    # and the program's own output silenced.
    flags=(-max_len=512 -timeout=30 -close_fd_mask=1 -handle_xfsz=0)
  fi
  clang++ -std=c++17 -g -O1 -D_FILE_OFFSET_BITS=64 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root" "$src" "$root"/wav/*.cpp "$root"/store/*.cpp "$root"/files/*.cpp "${extra[@]}" -o "$bin"
  corpus="$root/fuzz/corpus/$name"
  work="$out/corpus_$name"
  rm -rf "$work"
  mkdir -p "$work"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  # Harnesses that touch files do it in a scratch directory of their own,
  # in memory where there is a tmpfs: the WAV rewrites sync every file.
  scratch=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
  n=$runs
  [ "$name" = console ] && n=$console_runs
  echo "fuzz: $name, $n runs"
  (cd "$scratch" && TMPDIR="$scratch" "$bin" -runs="$n" "${flags[@]}" -artifact_prefix="$out/$name-" -seed=1 -print_final_stats=1 "$work" 2>&1 | tail -n 12)
  rm -rf "$scratch"
done
echo "fuzz: all harnesses ran clean"
