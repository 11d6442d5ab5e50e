#!/bin/sh
# Builds the .deb from a fresh /usr build, installs it, runs the installed
# monitor and checks its man page and units, then removes the package.
# Exit 77: skipped (not root, or no dpkg).
set -eu
src=$1
work=$2
[ "$(id -u)" = 0 ] || { echo "skip: needs root to install a package"; exit 77; }
command -v dpkg >/dev/null || { echo "skip: no dpkg"; exit 77; }
if dpkg -s tarnwatch >/dev/null 2>&1; then echo "skip: a tarnwatch package is installed already"; exit 77; fi
export PATH="$PATH:/usr/sbin:/sbin"
fail() { echo "$*"; exit 1; }

rm -rf "$work"
cmake -S "$src" -B "$work" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DTARNWATCH_TESTS=OFF >/dev/null
cmake --build "$work" -j2 >/dev/null
(cd "$work" && cpack -G DEB >/dev/null)
deb=$(ls "$work"/tarnwatch_*.deb)
trap 'dpkg -r tarnwatch >/dev/null 2>&1 || true' EXIT

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
libs="libc6 libstdc++6"
[ ! -x "$work/src/moatwalld/moatwalld" ] || libs="$libs libbpf"
for lib in $libs; do echo "$depends" | grep -q "$lib" || fail "no $lib dependency"; done

dpkg -i "$deb" >/dev/null
/usr/bin/tarnwatch --version
/usr/bin/tarnwatch -1 -M -D -P -w lo -l lo -B /nonexistent/birdc >/dev/null
# Exit 1 is a source missing on this machine; anything else is a broken program.
st=0; /usr/bin/tarnwatch --check >"$work/check.txt" || st=$?
[ "$st" -le 1 ] || fail "--check exit status $st"
grep -q '^ok   root' "$work/check.txt"
man -w tarnwatch
units="/usr/lib/systemd/system/tarnwatch-textfile.service /usr/lib/systemd/system/tarnwatch-textfile.timer"
if [ -x /usr/sbin/moatwalld ]; then
    man -w 8 moatwalld
    units="$units /usr/lib/systemd/system/moatwall.service"
fi
# shellcheck disable=SC2086
! command -v systemd-analyze >/dev/null || systemd-analyze verify $units
dpkg -r tarnwatch >/dev/null
[ ! -e /usr/bin/tarnwatch ] || fail "/usr/bin/tarnwatch left after dpkg -r"
echo "package ok"
