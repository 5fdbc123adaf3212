#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, shows that the manual
# page is found and that tunevat starts and quits in an empty directory,
# then removes the package and shows that nothing of it is left.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-deb"
bash "$root/scripts/deps.sh" run
as_root=()
if [ "$(id -u)" -ne 0 ]; then as_root=(sudo); fi

echo "== build the package =="
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTUNEVAT_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tunevat_*.deb | head -n 1)
echo "$deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
dpkg-deb --contents "$deb"

echo "== install it with apt =="
"${as_root[@]}" apt-get install -y -q "$deb" 2>&1 | grep -E 'Setting up|Unpacking' || true
command -v tunevat

echo "== the manual page =="
if command -v man >/dev/null; then
  man -w tunevat
  MANWIDTH=72 man tunevat 2>/dev/null | head -n 12
else
  ls -l /usr/share/man/man1/tunevat.1*
fi

echo "== tunevat in an empty directory =="
scratch=$(mktemp -d)
(cd "$scratch" && printf 'tlist.txt\nq\n' | tunevat)
echo "exit status: $?"
ls -A "$scratch"
cat "$scratch/rcvat.txt"
rm -rf "$scratch"

echo "== remove it =="
"${as_root[@]}" apt-get remove -y -q tunevat 2>&1 | grep -E 'Removing' || true
if command -v tunevat >/dev/null || [ -e /usr/share/man/man1/tunevat.1 ]; then
  echo "tunevat is still installed" >&2
  exit 1
fi
echo "tunevat removed; no files left: $(dpkg -L tunevat 2>&1 | head -n 1)"
