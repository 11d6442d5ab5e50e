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

rm -rf "$work"
cmake -S "$src" -B "$work" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DTARNWATCH_TESTS=OFF >/dev/null
cmake --build "$work" -j2 >/dev/null
(cd "$work" && cpack -G DEB >/dev/null)
deb=$(ls "$work"/tarnwatch_*.deb)
trap 'dpkg -r tarnwatch >/dev/null 2>&1 || true' EXIT

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -q 'libc6' || { echo "no libc6 dependency"; exit 1; }
echo "$depends" | grep -q 'libstdc++6' || { echo "no libstdc++6 dependency"; exit 1; }
if [ -x "$work/src/moatwalld/moatwalld" ]; then
    echo "$depends" | grep -q 'libbpf' || { echo "moatwalld built but no libbpf dependency"; exit 1; }
fi

dpkg -i "$deb" >/dev/null
/usr/bin/tarnwatch --version
/usr/bin/tarnwatch -1 -M -D -P -w lo -l lo -B /nonexistent/birdc >/dev/null
# Exit 1 is a source missing on this machine; anything else is a broken program.
st=0; /usr/bin/tarnwatch --check >"$work/check.txt" || st=$?
[ "$st" -le 1 ] || { echo "--check exit status $st"; exit 1; }
grep -q '^ok   root' "$work/check.txt"
man -w tarnwatch
units=/usr/lib/systemd/system/tarnwatch-textfile.service
units="$units /usr/lib/systemd/system/tarnwatch-textfile.timer"
if [ -x /usr/sbin/moatwalld ]; then
    man -w 8 moatwalld
    units="$units /usr/lib/systemd/system/moatwall.service"
fi
if command -v systemd-analyze >/dev/null; then
    # shellcheck disable=SC2086
    systemd-analyze verify $units
fi
dpkg -r tarnwatch >/dev/null
[ ! -e /usr/bin/tarnwatch ] || { echo "/usr/bin/tarnwatch left after dpkg -r"; exit 1; }
echo "package ok"
