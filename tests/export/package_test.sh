#!/bin/sh
# Builds both Debian packages as scripts/build-debs does, holds them to
# lintian, then goes through a package's life on this machine: install (nothing
# enabled or started), the installed monitor, the gate daemon started on a veth
# as the maintainer scripts start it where systemd is not running, an upgrade
# (the gate stays attached, its lists intact), removal (daemon stopped, program
# gone from the NIC) and purge (pins, conffiles and unit state gone).
# Exit 77: skipped (not root, no dpkg or lintian, a package installed already).
set -eu
src=$1
work=$2
[ "$(id -u)" = 0 ] || { echo "skip: needs root to install a package"; exit 77; }
command -v dpkg >/dev/null && command -v lintian >/dev/null || { echo "skip: no dpkg or lintian"; exit 77; }
! dpkg -s tarnwatch >/dev/null 2>&1 && ! dpkg -s moatwall >/dev/null 2>&1 ||
    { echo "skip: a tarnwatch or moatwall package is installed already"; exit 77; }
pins=/sys/fs/bpf/moatwall
[ ! -e $pins ] || { echo "skip: a gate is pinned on this machine; purging the package would end it"; exit 77; }
export PATH="$PATH:/usr/sbin:/sbin"
fail() { echo "FAIL: $*"; exit 1; }
nic=twpkg$$
trap 'dpkg -P moatwall tarnwatch >/dev/null 2>&1; ip link del "$nic" 2>/dev/null; true' EXIT

"$src/scripts/build-debs" "$work" >/dev/null
tw_deb=$(ls "$work"/tarnwatch_*.deb)
mw_deb=$(ls "$work"/moatwall_*.deb 2>/dev/null || true)
debs="$tw_deb $mw_deb"

# Every error and warning fails; informational notes are only shown.
# shellcheck disable=SC2086
lintian -EvIL +pedantic $debs >"$work/lintian.txt" 2>&1 || true
grep '^[IP]:' "$work/lintian.txt" || true
! grep '^[EWX]:' "$work/lintian.txt" || fail "lintian errors or warnings"

depends() { dpkg-deb -f "$1" Depends; }
for lib in libc6 libstdc++6; do depends "$tw_deb" | grep -q "$lib" || fail "tarnwatch: no $lib dependency"; done
! depends "$tw_deb" | grep -q libbpf || fail "tarnwatch depends on libbpf"
[ -z "$mw_deb" ] || depends "$mw_deb" | grep -q libbpf || fail "moatwall: no libbpf dependency"

# Installing enables and starts nothing (lintian holds the settings to be conffiles and
# every program to have its manual page).
# shellcheck disable=SC2086
dpkg -i $debs >/dev/null
# The installed daemon only: test builds of it may run at the same time.
daemon_pid() {
    for p in /proc/[0-9]*; do
        case $(readlink "$p/exe" 2>/dev/null) in /usr/sbin/moatwalld*) echo "${p#/proc/}" ;; esac
    done
}
running() { [ -n "$(daemon_pid)" ]; }
! ls /etc/systemd/system/*.wants/tarnwatch-* /etc/systemd/system/*.wants/moatwall* 2>/dev/null || fail "a unit was enabled"
[ -z "$(daemon_pid)" ] || fail "moatwalld started before it was configured"

/usr/bin/tarnwatch --version
/usr/bin/tarnwatch -1 -M -D -P -w lo -l lo -B /nonexistent/birdc >/dev/null
# Exit 1 is a source missing on this machine; anything else is a broken program.
st=0; /usr/bin/tarnwatch --check >"$work/check.txt" || st=$?
[ "$st" -le 1 ] || fail "--check exit status $st"
grep -q '^ok   root' "$work/check.txt"
units=$(dpkg -L tarnwatch moatwall 2>/dev/null | grep '\.\(service\|timer\)$')
# shellcheck disable=SC2086
! command -v systemd-analyze >/dev/null || systemd-analyze verify $units

gate() {
    [ -n "$mw_deb" ] || { echo "skip: the gate (no moatwall package built here)"; return 1; }
    [ ! -d /run/systemd/system ] || { echo "skip: the gate (systemd runs here; its units would start it)"; return 1; }
    ip link add "$nic" type veth peer name "${nic}p" 2>/dev/null || { echo "skip: the gate (no veth)"; return 1; }
    ip link set "$nic" up && ip link set "${nic}p" up
}
if gate; then
    # Configured, and started as postinst starts a daemon without systemd.
    echo "MOATWALL_IFACE=$nic" >/etc/default/moatwall
    # shellcheck disable=SC1091
    . /etc/default/moatwall
    start-stop-daemon --start --quiet --background --exec /usr/sbin/moatwalld -- -i "$MOATWALL_IFACE"
    settle() { i=0; while ! "$@"; do i=$((i + 1)); [ $i -lt 100 ] || return 1; sleep 0.1; done; }
    # One request on the daemon's socket (perl-base is essential); its reply's last line.
    request() {
        perl -MIO::Socket::UNIX -e '$s = IO::Socket::UNIX->new(Peer => $ARGV[0]) or exit 1;
            print $s "$ARGV[1]\n"; while (<$s>) { print; last if /^(OK|ERR)/ }' /run/moatwall.sock "$1" | tail -n 1
    }
    attached() { ip link show dev "$nic" | grep -q 'prog/xdp'; }
    link_id() { bpftool -j link show pinned $pins/moatwall_link | sed 's/^{"id":\([0-9]*\),.*/\1/'; }
    settle test -S /run/moatwall.sock || fail "moatwalld did not start"
    [ "$(request attach)" = OK ] && [ "$(request 'block 198.18.7.0/24')" = OK ] &&
        [ "$(request 'drop-port 12345')" = OK ] || fail "the daemon refused a request"
    attached || fail "the gate did not attach to $nic"
    lists() {
        for m in drop4 drop6 dports; do [ ! -e $pins/moatwall_$m ] || bpftool map dump pinned $pins/moatwall_$m; done
    }
    lists_before=$(lists)
    link_before=$(link_id)
    pid_before=$(daemon_pid)

    # An upgrade in place: a newer version of the same package.
    rm -rf "$work/next"
    dpkg-deb -R "$mw_deb" "$work/next"
    sed -i 's/^Version: .*/&.1/' "$work/next/DEBIAN/control"
    dpkg-deb --root-owner-group -b "$work/next" "$work/moatwall-next.deb" >/dev/null
    dpkg -i "$work/moatwall-next.deb" >/dev/null
    settle running || fail "no daemon after the upgrade"
    pid_after=$(daemon_pid)
    [ "$pid_after" != "$pid_before" ] || fail "the daemon was not restarted: $pid_before -> $pid_after"
    [ "$(readlink /proc/"$pid_after"/exe)" = /usr/sbin/moatwalld ] || fail "the daemon runs an old binary"
    tr '\0' ' ' </proc/"$pid_after"/cmdline | grep -q -- "-i $nic " || fail "the daemon lost its arguments"
    attached && [ "$(link_id)" = "$link_before" ] || fail "the gate was detached during the upgrade"
    [ "$(lists)" = "$lists_before" ] || fail "the lists changed during the upgrade"
    grep -qx "MOATWALL_IFACE=$nic" /etc/default/moatwall || fail "the upgrade replaced the settings"

    # An enabled unit stays so through the upgrade's scripts; removal masks it.
    systemctl --no-reload enable moatwall.service 2>/dev/null
    dpkg -i "$work/moatwall-next.deb" >/dev/null
    [ -L /etc/systemd/system/multi-user.target.wants/moatwall.service ] || fail "the upgrade disabled the unit"

    dpkg -r moatwall >/dev/null
    settle eval "! running" || fail "moatwalld still runs after removal"
    ! attached || fail "the XDP program stays on $nic after removal"
    [ -e $pins/moatwall_dports ] && [ -e /etc/default/moatwall ] || fail "removal dropped the lists or the settings"
    dpkg -P moatwall >/dev/null
    [ ! -e $pins ] && [ ! -e /etc/default/moatwall ] || fail "$pins or /etc/default/moatwall left after purge"
    ! ls -d /etc/systemd/system/moatwall.service /etc/systemd/system/*.wants/moatwall.service \
        /var/lib/systemd/deb-systemd-helper-enabled/moatwall.service* 2>/dev/null || fail "unit state left after purge"
fi

dpkg -r tarnwatch >/dev/null
[ ! -e /usr/bin/tarnwatch ] && [ -e /etc/default/tarnwatch ] || fail "dpkg -r left the program or dropped the settings"
dpkg -P tarnwatch >/dev/null
[ ! -e /etc/default/tarnwatch ] || fail "/etc/default/tarnwatch left after purge"
echo "package ok"
