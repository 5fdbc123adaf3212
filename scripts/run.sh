#!/usr/bin/env bash
# Installs what is missing, builds tunevat (Release) and starts it in the
# directory this script was called from.
set -euo pipefail
here=$PWD
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" run
cmake -S "$root" -B "$root/build-release" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF >/dev/null
cmake --build "$root/build-release" -j"$(nproc)" >/dev/null
cd "$here"
exec "$root/build-release/tunevat"
