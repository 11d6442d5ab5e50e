#include "support/gate_rig.hpp"

#include <arpa/inet.h>
#include <algorithm>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "moatwall/moatwall_contract.h"

#ifndef MW_DAEMON  // set by the build where clang and libbpf are found
#define MW_DAEMON ""
#define MW_OBJ ""
#endif

// Fixed addresses, so frames can be built without asking the namespaces.
#define GW0 "02:77:00:00:00:01"
#define PR0 "02:77:00:00:00:02"
#define GW1 "02:77:00:00:01:01"
#define PR1 "02:77:00:00:01:02"
static const uint8_t GW0_MAC[6] = {2, 0x77, 0, 0, 0, 1}, PR0_MAC[6] = {2, 0x77, 0, 0, 0, 2};

std::string gate_skip_reason()
{
    if (geteuid() != 0) return "needs root";
    if (!netns_available()) return "network namespaces unavailable";
    if (access(MW_DAEMON, X_OK) != 0 || access(MW_OBJ, R_OK) != 0) return "moatwalld not built";
    return sh("command -v bpftool >/dev/null 2>&1") != 0 ? "bpftool missing" : "";
}

BpfDir::BpfDir()
{
    static int seq = 0;
    dir = "/tmp/mwt_" + std::to_string(getpid()) + "_" + std::to_string(seq++);
    fs = dir + "/bpf", pindir = fs + "/moatwall", sock = dir + "/sock";
    sh("rm -rf " + dir + "; mkdir -p " + fs);
    mounted = mount("bpf", fs.c_str(), "bpf", 0, "mode=0700") == 0;
}

BpfDir::~BpfDir()
{
    umount2(fs.c_str(), MNT_DETACH);
    sh("rm -rf " + dir);
}

static void put16(std::vector<uint8_t> &v, size_t at, unsigned x)
{
    v[at] = static_cast<uint8_t>(x >> 8), v[at + 1] = static_cast<uint8_t>(x);
}

#define GW0_V6 "2a0e:77::1"

// IPv6 extension headers of 8 bytes each; options are one PadN, a routing
// header has type 253 (experimental) and no segments left.
static size_t add_ext6(std::vector<uint8_t> &v, const Frame &f, uint8_t last)
{
    static const char LETTERS[] = "hrdf";
    static const uint8_t CODES[] = {0, 43, 60, 44};
    size_t n = strlen(f.ext);
    for (size_t i = 0; i < n; i++) {
        uint8_t next = i + 1 < n ? CODES[strchr(LETTERS, f.ext[i + 1]) - LETTERS] : last;
        switch (f.ext[i]) {
        case 'f': v.insert(v.end(), {next, 0, uint8_t(f.frag >> 8), uint8_t(f.frag), 0, 0, 0, 7}); break;
        case 'r': v.insert(v.end(), {next, 0, 253, 0, 0, 0, 0, 0}); break;
        default: v.insert(v.end(), {next, 0, 1, 4, 0, 0, 0, 0}); break;
        }
    }
    return n ? CODES[strchr(LETTERS, f.ext[0]) - LETTERS] : last;
}

std::vector<uint8_t> build_frame(const Frame &f, const uint8_t dmac[6], const uint8_t smac[6])
{
    const bool v6 = strchr(f.src, ':') != nullptr;
    std::vector<uint8_t> v(dmac, dmac + 6);
    v.insert(v.end(), smac, smac + 6);
    for (int t = 0; t < f.tags; t++) {
        bool outer = t == 0 && f.tags == 2;
        v.insert(v.end(), {uint8_t(outer ? 0x88 : 0x81), uint8_t(outer ? 0xa8 : 0x00), 0, uint8_t(10 + t)});
    }
    uint16_t type = f.ethertype ? f.ethertype : v6 ? 0x86dd : 0x0800;
    int version = f.version ? f.version : v6 ? 6 : 4;
    v.insert(v.end(), {uint8_t(type >> 8), uint8_t(type)});
    size_t ip = v.size(), l4;
    if (v6) {
        v.resize(ip + 40);
        v[ip] = static_cast<uint8_t>(version << 4);
        v[ip + 6] = static_cast<uint8_t>(add_ext6(v, f, f.proto)), v[ip + 7] = 64;
        inet_pton(AF_INET6, f.src, &v[ip + 8]);
        inet_pton(AF_INET6, GW0_V6, &v[ip + 24]);
        l4 = v.size();
    } else {
        l4 = ip + std::max(20, f.ihl * 4);
        v.resize(l4);
        v[ip] = static_cast<uint8_t>((version & 15) << 4 | (f.ihl & 15));
        put16(v, ip + 6, f.frag);
        v[ip + 8] = 64, v[ip + 9] = f.proto;
        inet_pton(AF_INET, f.src, &v[ip + 12]);
        inet_pton(AF_INET, "11.77.0.1", &v[ip + 16]);
    }
    v.resize(l4 + (f.proto == 6 ? 20 : 12));
    size_t len = f.tot_len >= 0 ? static_cast<size_t>(f.tot_len) : v.size() - ip - (v6 ? 40 : 0);
    put16(v, ip + (v6 ? 4 : 2), static_cast<unsigned>(len));
    uint32_t s = 0;  // IPv4 header checksum
    for (size_t i = ip; !v6 && i < l4; i += 2) s += static_cast<uint32_t>(v[i] << 8 | v[i + 1]);
    while (s >> 16) s = (s & 0xffff) + (s >> 16);
    if (!v6) put16(v, ip + 10, ~s & 0xffff);
    put16(v, l4, 40000);
    put16(v, l4 + 2, f.dport);
    if (f.proto == 6)
        v[l4 + 12] = 0x50, v[l4 + 13] = 0x02;  // 5-word header, SYN
    else
        put16(v, l4 + 4, 12);  // UDP length, checksum 0
    if (f.cut >= 0 && static_cast<size_t>(f.cut) < v.size()) v.resize(static_cast<size_t>(f.cut));
    return v;
}

UniqueFd unix_connect(const std::string &path)
{
    UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (connect(s.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) s.reset();
    return s;
}

std::string talk(int fd, const std::string &line)
{
    std::string l = line + "\n", out;
    if (fd < 0 || send(fd, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size())) return "";
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, 700) == 1 && (n = read(fd, buf, sizeof buf)) > 0;) {
        out.append(buf, static_cast<size_t>(n));
        size_t last = out.size() < 2 ? 0 : out.rfind('\n', out.size() - 2) + 1;  // npos + 1 == 0
        if (out.back() == '\n' && (out.compare(last, 2, "OK") == 0 || out.compare(last, 3, "ERR") == 0)) break;
    }
    return out;
}

// A socket created inside namespace ns (it stays there after we return).
static UniqueFd ns_socket(const std::string &ns, int domain, int type)
{
    UniqueFd self(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    UniqueFd target(open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC));
    if (!self.ok() || !target.ok() || setns(target.fd, CLONE_NEWNET) != 0) return UniqueFd();
    UniqueFd s(socket(domain, type | SOCK_CLOEXEC, 0));
    setns(self.fd, CLONE_NEWNET);
    return s;
}

GateRig::GateRig()
{
    // No IPv6 and static neighbours: nothing but the test's own frames reaches the gate.
    const std::string quiet = "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 "
                              "net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0; ";
    gw.run("sh -c '" + quiet + "ip link add gw0 address " GW0 " type veth peer name pr0 address " PR0 " netns " +
           peer.name + "; ip link add gw1 address " GW1 " type veth peer name pr1 address " PR1 " netns " + peer.name +
           "; ip link add br0 type bridge; ip addr add 11.77.0.1/16 dev gw0; ip addr add 11.78.0.1/16 dev gw1; "
           "ip link add gw2 type veth peer name pr2 netns " + peer.name + "; ip link set gw2 master br0; "
           "ip addr add 11.81.0.1/16 dev br0; ip tuntap add dev mwtun0 mode tun; "
           "for d in gw0 gw1 gw2 br0; do ip link set $d up; done; "
           "ip route add 192.168.77.2/32 dev gw0; ip route add 11.90.0.0/16 via 11.77.0.9 dev gw0; "
           "ip neigh replace 11.78.0.2 lladdr " PR1 " dev gw1 nud permanent; for a in 11.77.0.2 11.77.1.2 11.77.2.2 "
           "192.168.77.2; do ip neigh replace $a lladdr " PR0 " dev gw0 nud permanent; done'");
    peer.run("sh -c '" + quiet + "for a in 11.77.0.2/16 11.77.1.2/16 11.77.2.2/16 192.168.77.2/32; do "
             "ip addr add $a dev pr0; done; ip addr add 11.78.0.2/16 dev pr1; ip link set pr0 up; ip link set pr1 up; "
             "ip neigh replace 11.77.0.1 lladdr " GW0 " dev pr0 nud permanent; "
             "ip neigh replace 11.78.0.1 lladdr " GW1 " dev pr1 nud permanent'");
}

// The pinned link outlives the daemon by design; deleting the namespaces
// removes the devices and with them the attachment.
GateRig::~GateRig() { stop(SIGKILL); }

std::string GateRig::daemon_cmd(const std::string &wrapper, const std::string &pindir, const std::string &sock) const
{
    return "ip netns exec " + gw.name + " " + wrapper + " " MW_DAEMON " -i gw0 -p " +
           (pindir.empty() ? bpf.pindir : pindir) + " -S " + (sock.empty() ? bpf.sock : sock) + " -o " MW_OBJ;
}

bool GateRig::start(const std::string &wrapper, const std::string &pindir)
{
    std::string cmd = "exec " + daemon_cmd(wrapper, pindir);
    if ((pid = fork()) == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0, st; i < 200; i++, usleep(25000)) {
        if (waitpid(pid, &st, WNOHANG) == pid) {
            pid = -1, exit_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return false;
        }
        if (req("status").find("OK") != std::string::npos) return true;
    }
    return false;
}

// Static neighbours and no duplicate address detection: the addresses work at once.
void GateRig::enable_ipv6()
{
    gw.run("sh -c 'sysctl -qw net.ipv6.conf.gw0.disable_ipv6=0; ip -6 addr add " GW0_V6 "/32 dev gw0 nodad; "
           "for a in 2a0e:77::2 2a0e:77:1::2 2a0e:77:2::2; do ip -6 neigh replace $a lladdr " PR0 " dev gw0 nud permanent; done'");
    peer.run("sh -c 'sysctl -qw net.ipv6.conf.pr0.disable_ipv6=0; for a in 2a0e:77::2 2a0e:77:1::2 2a0e:77:2::2; do "
             "ip -6 addr add $a/32 dev pr0 nodad; done; ip -6 neigh replace " GW0_V6 " lladdr " GW0 " dev pr0 nud permanent'");
}

void GateRig::stop(int sig)
{
    int st = 0;
    if (pid <= 0) return;
    kill(pid, sig), waitpid(pid, &st, 0);
    pid = -1, exit_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// bpftool's compact JSON with BTF: {"formatted":{"key":K,"values":[{"cpu":C,"value":V},...]}}
// for the statistics and ports, {"key":{"prefixlen":L,"addr":[a,b,c,d]}} for the prefixes.
// Each place just after tag in what cmd prints, and that text.
static std::pair<std::string, std::vector<size_t>> each(const std::string &cmd, const std::string &tag)
{
    std::pair<std::string, std::vector<size_t>> r{sh_out(cmd), {}};
    for (size_t i = r.first.find(tag); i != std::string::npos; i = r.first.find(tag, i + 1)) r.second.push_back(i + tag.size());
    return r;
}
static std::string dump(const BpfDir &b, const char *map) { return "bpftool -j map dump pinned " + b.pindir + "/" + map + " 2>/dev/null"; }
static const char *const KEY = "\"formatted\":{\"key\":";

std::vector<uint64_t> GateRig::stats() const
{
    std::vector<uint64_t> v(MW_STAT_COUNT, 0);
    auto [j, at] = each(dump(bpf, MW_MAP_STATS), KEY);
    for (size_t k : at)
        for (size_t x = j.find("\"value\":", k), end = j.find(']', k); x < end; x = j.find("\"value\":", x + 1))
            v.at(std::stoul(j.substr(k))) += std::stoull(j.substr(x + 8));
    return v;
}

std::vector<std::string> GateRig::list(bool ports) const
{
    std::vector<std::string> r;
    if (ports) {
        auto [j, at] = each(dump(bpf, MW_MAP_DPORTS), KEY);
        for (size_t k : at) r.push_back(std::to_string(std::stoul(j.substr(k))));
    }
    for (const char *map : {MW_MAP_DROP4, MW_MAP_DROP6}) {
        auto [j, at] = each(dump(bpf, map), "\"prefixlen\":");
        for (size_t k = 0; !ports && k < at.size(); k++) {
            uint8_t a[16];
            size_t n = 0;
            for (char *q = j.data() + j.find('[', at[k]) + 1; n < 16 && *q != ']'; q += *q == ',')
                a[n++] = static_cast<uint8_t>(strtoul(q, &q, 10));
            char t[64];
            inet_ntop(n == 4 ? AF_INET : AF_INET6, a, t, sizeof t);
            r.push_back(std::string(t) + "/" + std::to_string(std::stoul(j.substr(at[k]))));
        }
    }
    std::sort(r.begin(), r.end());
    return r;
}

uint64_t GateRig::xdp_drops() const
{
    uint64_t n = 0;
    auto [o, at] = each("ip netns exec " + gw.name + " ethtool -S gw0", "xdp_drops: ");
    for (size_t x : at) n += std::stoull(o.substr(x));
    return n;
}

std::string GateRig::xdp_on(const std::string &ifname) const
{
    auto [o, at] = each("ip netns exec " + gw.name + " ip -d link show dev " + ifname, "prog/xdp id ");
    char name[64];
    return !at.empty() && sscanf(o.c_str() + at[0], "%*u name %63s", name) == 1 ? name : "";
}

unsigned GateRig::xdp_id(const std::string &ifname) const
{
    auto [o, at] = each("ip netns exec " + gw.name + " ip -d link show dev " + ifname, "prog/xdp id ");
    return at.empty() ? 0 : static_cast<unsigned>(std::stoul(o.substr(at[0])));
}

static socklen_t sockaddr_of(const char *a, uint16_t port, sockaddr_storage *ss)
{
    *ss = {};
    if (strchr(a, ':')) {
        auto *s6 = reinterpret_cast<sockaddr_in6 *>(ss);
        s6->sin6_family = AF_INET6, s6->sin6_port = htons(port);
        inet_pton(AF_INET6, a, &s6->sin6_addr);
        return sizeof *s6;
    }
    auto *s4 = reinterpret_cast<sockaddr_in *>(ss);
    s4->sin_family = AF_INET, s4->sin_port = htons(port);
    inet_pton(AF_INET, a, &s4->sin_addr);
    return sizeof *s4;
}

// A socket bound to a:port (port 0: any), or -1.
static UniqueFd bound(const std::string &ns, int type, const char *a, uint16_t port)
{
    sockaddr_storage ss;
    socklen_t len = sockaddr_of(a, port, &ss);
    UniqueFd s = ns_socket(ns, ss.ss_family, type);
    int one = 1;
    setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s.fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) s.reset();
    return s;
}

// A dropped datagram gets 300 ms to show up; a passed one arrives in microseconds.
int GateRig::udp(const char *src, uint16_t dport, int n, const char *dst)
{
    const bool v6 = strchr(src, ':') != nullptr;
    UniqueFd rx = bound(gw.name, SOCK_DGRAM, v6 ? "::" : "0.0.0.0", dport), tx = bound(peer.name, SOCK_DGRAM, src, 0);
    if (!rx.ok() || !tx.ok()) return -1;
    sockaddr_storage to;
    socklen_t len = sockaddr_of(dst ? dst : v6 ? GW0_V6 : "11.77.0.1", dport, &to);
    for (int i = 0; i < n; i++) sendto(tx.fd, "moat", 4, 0, reinterpret_cast<sockaddr *>(&to), len);
    int got = 0;
    char b[8];
    pollfd p{rx.fd, POLLIN, 0};
    while (got < n && poll(&p, 1, 300) == 1 && recv(rx.fd, b, sizeof b, 0) > 0) got++;
    return got;
}

void GateRig::raw(const Frame &f)
{
    UniqueFd s = ns_socket(peer.name, AF_PACKET, SOCK_RAW);
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET, ll.sll_halen = 6;
    ll.sll_ifindex = std::stoi(peer.out("cat /sys/class/net/pr0/ifindex"));
    std::vector<uint8_t> fr = build_frame(f, GW0_MAC, PR0_MAC);
    sendto(s.fd, fr.data(), fr.size(), 0, reinterpret_cast<sockaddr *>(&ll), sizeof ll);
    usleep(50000);  // veth hands frames on through a softirq; let it run
}
