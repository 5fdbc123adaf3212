#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the unit and
# end-to-end suites in a normal build, a short fixed-length fuzzing run of
# every parser, and the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
bash "$root/scripts/deps.sh" test

# A private PulseAudio server for the tests that record and play through
# one (tests/pulse_*.cpp); only they are told where it is. It is stopped
# by its process id when this script ends, whether the tests pass or not.
pulse_dir=$(mktemp -d "${TMPDIR:-/tmp}/tunevat-pulse.XXXXXX")
trap 'bash "$root/scripts/pulse-server.sh" stop "$pulse_dir"' EXIT
bash "$root/scripts/pulse-server.sh" start "$pulse_dir"
export TUNEVAT_PULSE_RUNTIME="$pulse_dir/runtime"

echo "== build and test (debug, -Wall -Wextra) =="
cmake -S "$root" -B "$root/build-test" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build "$root/build-test" -j"$jobs"
(cd "$root/build-test" && ctest -j"$jobs" --output-on-failure)

echo "== fuzzing (fixed number of runs) =="
bash "$root/scripts/fuzz.sh"

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DTUNEVAT_SANITIZE=ON >/dev/null
cmake --build "$root/build-asan" -j"$jobs"
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest -j"$jobs" --output-on-failure)
