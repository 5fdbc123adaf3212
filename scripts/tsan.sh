#!/usr/bin/env bash
# The capture tests under ThreadSanitizer: while a take runs, the device's
# reading thread and the take loop share only atomics and what the ring's
# lock guards, and the signal notes are read by both. Builds tunevat and
# the test programs with -fsanitize=thread into build-tsan and runs the
# tests that record (the paced device, the device faults, the take file,
# the recording end to end, the lost-frame judgement); any report fails
# them (tunevat exits 66 and says so on standard error).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
bash "$root/scripts/deps.sh" test
cmake -S "$root" -B "$root/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DTUNEVAT_TSAN=ON >/dev/null
cmake --build "$root/build-tsan" -j"$jobs" --target tunevat e2e_tests unit_tests tv_pacedpcm tv_faultshim
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1"
"$root/build-tsan/tests/unit_tests" --gtest_filter='LossJudge*:CheckFramePeaks*'
"$root/build-tsan/tests/e2e_tests" \
  --gtest_filter='PacedE2E*:DeviceFaults*:RecordE2E*:TakeFile.*:KilledTake*:-*Valgrind*'
