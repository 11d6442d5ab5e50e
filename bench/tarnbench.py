#!/usr/bin/env python3
"""Cost of the monitor against its children and against a shell loop.

Builds, for each size (1, 8 and 32 watched interfaces), a network namespace
with veth pairs (some with htb classes and pfifo leaves, some with a pfifo
root), OSPF between two real BIRD daemons across lan0, and from 8 up a
WireGuard stand-in: a veth device whose uevent says wireguard (bind-mounted
in the monitor's own mount namespace) and a `wg` script on PATH.

Then it measures, interleaving the binaries given with --bin run by run:
  own      the monitor's CPU per sample, children excluded (schedstat)
  children its children's CPU per sample (rusage of the reaped children)
  total    own plus children: the sample's whole CPU
  floor    the same children run back to back without the monitor
  shell    the shell loop an operator would write instead, per round
  rss      the monitor's peak resident set (VmHWM)
  sample   one sample end to end (wall clock, the interval's wait removed)
  key      key press to the end of the repaint, in a pty

Per-sample figures come from two runs, -n K and -n 1: (X(K) - X(1)) / (K - 1),
so start-up and the namespace entry cancel out. Must run as root.
"""
import argparse
import os
import pty
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

PID = os.getpid()
STANDIN_WG = r"""#!/bin/sh
# Stand-in for `wg show DEV dump`: the device line, then three peers.
now=$(date +%s)
printf 'cHJpdmF0ZQ==\tcHVibGlj\t51820\toff\n'
printf 'UEVFUjE=\t(none)\t192.0.2.1:51820\t10.8.0.2/32\t%s\t1000\t2000\t25\n' "$now"
printf 'UEVFUjI=\t(none)\t192.0.2.2:51820\t10.8.0.3/32\t%s\t3000\t4000\t25\n' "$now"
printf 'UEVFUjM=\t(none)\t(none)\t10.8.0.4/32\t0\t0\t0\toff\n'
"""


def sh(cmd, check=True):
    r = subprocess.run(cmd, shell=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if check and r.returncode != 0:
        raise RuntimeError(f"{cmd}: {r.stdout.strip()}")
    return r.stdout


class Fixture:
    """One size: the monitor's namespace M, the peer namespace P, two BIRDs."""

    def __init__(self, n, work):
        self.n = n
        self.m = f"twb_{PID}_{n}"
        self.p = f"twbp_{PID}_{n}"
        self.dir = os.path.join(work, f"n{n}")
        os.makedirs(self.dir, exist_ok=True)
        self.birds = []
        self.ifaces = []

    def up(self):
        sh(f"ip netns add {self.m}; ip netns add {self.p}")
        M, P = f"ip -n {self.m}", f"ip -n {self.p}"
        for ns in (self.m, self.p):
            sh(f"ip -n {ns} link set lo up")
        # No IPv6 chatter: the once-mode comparison needs counters that stand still.
        for ns in (self.m, self.p):
            sh(f"ip netns exec {ns} sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1")
        sh(f"{M} link add lan0 type veth peer name lan0p netns {self.p}")
        sh(f"{M} addr add 10.9.0.1/24 dev lan0; {P} addr add 10.9.0.2/24 dev lan0p")
        self.ifaces = ["lan0"]
        subs = self.n - 1
        if self.n >= 8:
            sh(f"{M} link add wan0 type veth peer name wan0p netns {self.p}")
            sh(f"{M} link add wg0 type veth peer name wg0p netns {self.p}")
            self.ifaces += ["wan0", "wg0"]
            subs = self.n - 3
        for k in range(1, subs + 1):
            sh(f"{M} link add lan0.{k} type veth peer name s{k} netns {self.p}")
            self.ifaces.append(f"lan0.{k}")
        for i in self.ifaces:
            sh(f"{M} link set {i} up")
        sh(f"for i in $({P} -o link show | awk -F': ' '{{print $2}}' | cut -d@ -f1); do {P} link set $i up; done")
        tcm = f"ip netns exec {self.m} tc"
        htb = ["lan0"] + (["wan0"] if self.n >= 8 else [])
        for k, i in enumerate(self.ifaces):
            if i in htb or (i.startswith("lan0.") and k % 3 == 1):
                sh(f"{tcm} qdisc add dev {i} root handle 1: htb default 20")
                sh(f"{tcm} class add dev {i} parent 1: classid 1:1 htb rate 1gbit")
                for c in (10, 20):
                    sh(f"{tcm} class add dev {i} parent 1:1 classid 1:{c} htb rate 100mbit ceil 1gbit")
                    sh(f"{tcm} qdisc add dev {i} parent 1:{c} handle {c}: pfifo limit 100")
            elif i.startswith("lan0.") and k % 3 == 0:
                sh(f"{tcm} qdisc add dev {i} root pfifo limit 500")
        # The wireguard stand-in: the monitor tells a wireguard device by its uevent.
        with open(os.path.join(self.dir, "uevent"), "w") as f:
            f.write("DEVTYPE=wireguard\nINTERFACE=wg0\nIFINDEX=99\n")
        os.makedirs(os.path.join(self.dir, "bin"), exist_ok=True)
        os.makedirs(os.path.join(self.dir, "wgconf"), exist_ok=True)
        wg = os.path.join(self.dir, "bin", "wg")
        with open(wg, "w") as f:
            f.write(STANDIN_WG)
        os.chmod(wg, 0o755)
        self.birdconf = self._bird(self.m, "10.9.0.1", "lan0", "10.9.0.2")
        self._bird(self.p, "10.9.0.2", "lan0p", "10.9.0.1")
        # Some traffic, so counters and rates move between samples.
        sh(f"ip netns exec {self.m} ping -q -c 3 -i 0.2 10.9.0.2", check=False)

    def _bird(self, ns, rid, ifname, nbr):
        conf = os.path.join(self.dir, f"bird-{ns}.conf")
        sock = os.path.join(self.dir, f"bird-{ns}.ctl")
        with open(conf, "w") as f:
            f.write(f"""router id {rid};
protocol device {{ scan time 10; }}
protocol ospf v2 o1 {{
  ipv4 {{ import all; export none; }};
  area 0 {{
    interface "{ifname}" {{
      type ptmp; hello 5; dead 20;
      neighbors {{
        {nbr}; # peer
      }};
    }};
  }};
}}
""")
        sh(f"ip netns exec {ns} bird -c {conf} -s {sock} -P {self.dir}/bird-{ns}.pid")
        self.birds.append(f"{self.dir}/bird-{ns}.pid")
        if ns == self.m:
            self.birdc = f"birdc -s {sock}"
        return conf

    def wait_ospf(self, timeout=45):
        end = time.time() + timeout
        while time.time() < end:
            out = sh(f"ip netns exec {self.m} {self.birdc} show ospf neighbors", check=False)
            if "Full" in out:
                return True
            time.sleep(1)
        return False

    def down(self):
        for pidfile in self.birds:
            try:
                os.kill(int(open(pidfile).read().strip()), signal.SIGTERM)
            except (OSError, ValueError):
                pass
        time.sleep(0.3)
        sh(f"ip netns del {self.m}", check=False)
        sh(f"ip netns del {self.p}", check=False)

    def wrap(self, argv):
        """argv run inside M, in a mount namespace of its own with the stand-ins."""
        prefix = ""
        if "wg0" in self.ifaces:
            prefix = f"mount --bind {self.dir}/uevent /sys/class/net/wg0/uevent && "
        script = prefix + 'PATH="$0:$PATH" exec "$@"'
        return ["ip", "netns", "exec", self.m, "unshare", "-m", "sh", "-c", script,
                os.path.join(self.dir, "bin")] + argv

    def monitor_args(self, binary, count, extra=(), birdc=None):
        return self.wrap([binary, "-w", "wan0", "-l", "lan0", "-b", self.birdconf, "-B", birdc or self.birdc,
                          "-W", os.path.join(self.dir, "wgconf"), "-D", "-i", "1", "-n", str(count)]
                         + list(extra))


def run_measured(argv, poll_rss=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL):
    """(own seconds, children seconds, wall seconds, peak RSS KiB) of one process."""
    t0 = time.monotonic()
    p = subprocess.Popen(argv, stdin=stdin, stdout=stdout, stderr=subprocess.DEVNULL)
    hwm = 0
    while True:
        r = os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT | os.WNOHANG)
        if r is not None:
            break
        if poll_rss:
            try:
                for line in open(f"/proc/{p.pid}/status"):
                    if line.startswith("VmHWM:"):
                        hwm = max(hwm, int(line.split()[1]))
            except OSError:
                pass
        time.sleep(0.05)
    wall = time.monotonic() - t0
    own = int(open(f"/proc/{p.pid}/schedstat").read().split()[0]) / 1e9
    _, status, ru = os.wait4(p.pid, 0)
    p.returncode = status
    total = ru.ru_utime + ru.ru_stime
    return own, total - own, wall, hwm


def per_sample(fx, binary, k):
    o1, c1, w1, _ = run_measured(fx.monitor_args(binary, 1), poll_rss=False)
    ok, ck, wk, hwm = run_measured(fx.monitor_args(binary, k))
    d = k - 1
    # Each sample after the first is followed by a one-second wait.
    return {"own": (ok - o1) / d, "children": (ck - c1) / d, "sample": (wk - w1) / d - 1.0, "rss": hwm}


FLOOR = r"""
import resource, subprocess, sys
def spent():
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    return ru.ru_utime + ru.ru_stime
before = spent()  # the stand-in's mount, reaped before the exec
ifaces, birdc, wg, rounds = sys.argv[1].split(","), sys.argv[2], sys.argv[3] == "1", int(sys.argv[4])
null = subprocess.DEVNULL
def run(argv):
    subprocess.run(argv, stdin=null, stdout=subprocess.PIPE, stderr=null)
for _ in range(rounds):
    run(["tc", "-s", "qdisc", "show"])
    if wg:
        run(["wg", "show", "wg0", "dump"])
    run(["/bin/sh", "-c", 'eval "command -v $1 >/dev/null 2>&1"', "sh", birdc])
    run(["/bin/sh", "-c", 'eval "$1 show ospf neighbors 2>&1"', "sh", birdc])
print((spent() - before) / rounds)
"""

SHELL_LOOP = r"""
for i in "$@"; do
  ip -s link show dev "$i"
  tc -s qdisc show dev "$i"
  ethtool -S "$i"
done
nstat -asz
cat /proc/net/softnet_stat
"""


def floor(fx, rounds):
    argv = fx.wrap([sys.executable, "-c", FLOOR, ",".join(fx.ifaces), fx.birdc,
                    "1" if "wg0" in fx.ifaces else "0", str(rounds)])
    return float(subprocess.run(argv, stdout=subprocess.PIPE, text=True, check=True).stdout.split()[-1])


def shell_loop(fx, rounds):
    script = "for r in $(seq %d); do %s done >/dev/null 2>&1" % (rounds, SHELL_LOOP.replace("\n", "\n  "))
    _, c, _, _ = run_measured(["ip", "netns", "exec", fx.m, "sh", "-c", script, "sh"] + fx.ifaces, poll_rss=False)
    return c / rounds


def once_output(fx, binary, birdc):
    argv = fx.monitor_args(binary, 1, birdc=birdc)
    out = subprocess.run(argv + ["-M"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL).stdout
    return out.split(b"\n", 1)[1]  # the first line is the time of the sample


def compare(fx, a, b, tries=8):
    """Whether b prints what a prints: a, b, a again until both a runs agree.

    BIRD's table shows each neighbour's dead timer running down, so for this
    comparison -B replays one real reply captured here."""
    reply = os.path.join(fx.dir, "birdc-reply.txt")
    with open(reply, "w") as f:
        f.write(sh(f"ip netns exec {fx.m} {fx.birdc} show ospf neighbors", check=False))
    replay = os.path.join(fx.dir, "bin", "birdc-replay")
    with open(replay, "w") as f:
        f.write(f"#!/bin/sh\ncat {reply}\n")
    os.chmod(replay, 0o755)
    # A peer's handshake age can cross a second between two runs: only a
    # difference that every try shows is one.
    diff = None
    for _ in range(tries):
        x1, y, x2 = (once_output(fx, a, replay), once_output(fx, b, replay), once_output(fx, a, replay))
        if x1 == x2:
            if x1 == y:
                return True, len(y)
            diff = (x1, y)
        time.sleep(0.7)
    if diff:
        for tag, text in zip("ab", diff):
            with open(f"/tmp/tarnbench-{PID}-n{fx.n}-{tag}.txt", "wb") as f:
                f.write(text)
        return False, len(diff[1])
    return None, 0


def key_latency(fx, binary, presses):
    """Median seconds from a key byte written to the last byte of its repaint."""
    pid, fd = pty.fork()
    if pid == 0:
        args = fx.monitor_args(binary, 0)
        args = args[: args.index("-n")] + ["-i", "60"]
        os.execvp(args[0], args)

    def drain(quiet):
        last = None
        while True:
            r, _, _ = select.select([fd], [], [], quiet)
            if not r:
                return last
            try:
                if not os.read(fd, 65536):
                    return last
            except OSError:
                return last
            last = time.monotonic()

    try:
        # The first paint comes at the end of sample 1.
        start = time.monotonic()
        while time.monotonic() - start < 20 and drain(0.5) is None:
            pass
        lat = []
        for i in range(presses):
            t0 = time.monotonic()
            os.write(fd, b"2" if i % 2 == 0 else b"1")
            end = drain(0.1)
            if end is not None:
                lat.append(end - t0)
        os.write(fd, b"q")
        drain(0.5)
    finally:
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
        os.waitpid(pid, 0)
        os.close(fd)
    return statistics.median(lat) if lat else float("nan")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", action="append", required=True, help="monitor binary; repeat to interleave")
    ap.add_argument("--sizes", default="1,8,32")
    ap.add_argument("--runs", type=int, default=3, help="runs of each binary per size")
    ap.add_argument("--samples", type=int, default=21, help="samples per measured run")
    ap.add_argument("--presses", type=int, default=40)
    ap.add_argument("--shell-rounds", type=int, default=10)
    ap.add_argument("--keep", action="store_true", help="leave the work directory")
    a = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("tarnbench: needs root for network namespaces")
    work = tempfile.mkdtemp(prefix=f"tarnbench-{PID}-")
    names = [os.path.basename(os.path.dirname(os.path.abspath(b))) or b for b in a.bin]
    rows = []
    try:
        for n in [int(x) for x in a.sizes.split(",")]:
            fx = Fixture(n, work)
            try:
                fx.up()
                if not fx.wait_ospf():
                    print(f"# n={n}: OSPF did not reach Full; measuring anyway", file=sys.stderr)
                if len(a.bin) == 2:
                    same, size = compare(fx, a.bin[0], a.bin[1])
                    verdict = {True: "identical", False: f"DIFFERENT (/tmp/tarnbench-{PID}-n{n}-a.txt, -b.txt)", None: "unstable"}[same]
                    print(f"n={n:2d} once-mode output of the two binaries: {verdict}, {size} bytes", flush=True)
                res = {b: [] for b in a.bin}
                keys = {b: [] for b in a.bin}
                for r in range(a.runs):
                    for b in (a.bin if r % 2 == 0 else list(reversed(a.bin))):
                        res[b].append(per_sample(fx, b, a.samples))
                for b in a.bin:
                    keys[b] = key_latency(fx, b, a.presses)
                fl = statistics.median(floor(fx, a.shell_rounds) for _ in range(3))
                sl = statistics.median(shell_loop(fx, a.shell_rounds) for _ in range(3))
                for b, name in zip(a.bin, names):
                    med = {k: statistics.median(x[k] for x in res[b]) for k in ("own", "children", "sample", "rss")}
                    rows.append((n, name, med, keys[b], fl, sl))
                    print(f"n={n:2d} {name:20s} own {med['own']*1e3:7.2f} ms  children {med['children']*1e3:7.2f} ms"
                          f"  total {(med['own'] + med['children'])*1e3:7.2f} ms  own/children {med['own']/med['children']*100:5.1f}%  floor {fl*1e3:7.2f} ms"
                          f"  shell {sl*1e3:7.2f} ms  sample {med['sample']*1e3:7.2f} ms"
                          f"  rss {med['rss']/1024:5.2f} MiB  key {keys[b]*1e3:6.3f} ms", flush=True)
            finally:
                fx.down()
    finally:
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
