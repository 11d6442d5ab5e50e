#include "support/gate_rig.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <map>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "support/gate_maps.hpp"

#ifndef MW_DAEMON  // set by the build where clang and libbpf are found
#define MW_DAEMON ""
#define MW_OBJ ""
#endif

std::string gate_skip_reason()
{
    if (geteuid() != 0) return "needs root";
    if (!netns_available()) return "network namespaces unavailable";
    return access(MW_DAEMON, X_OK) != 0 || access(MW_OBJ, R_OK) != 0 ? "moatwalld not built" : "";
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

static void put16(std::vector<uint8_t> &v, size_t at, unsigned x) { v[at] = uint8_t(x >> 8), v[at + 1] = uint8_t(x); }

// The next-header code of an extension letter of Frame::ext.
static uint8_t ext_code(char c) { return c == 'h' ? 0 : c == 'r' ? 43 : c == 'd' ? 60 : 44; }

// A frame description's fields, as build_frame reads them.
struct Frame {
    std::string src = "11.77.0.2", ext;
    int dport = 5000, proto = 17, tags = 0, ethertype = 0;
    int version = 0, ihl = 5, tot_len = -1, frag = 0, cut = -1;
};

static bool parse_frame(const std::string &desc, Frame &f)
{
    const std::map<std::string, int Frame::*> number = {
        {"dport", &Frame::dport}, {"proto", &Frame::proto}, {"tags", &Frame::tags}, {"ethertype", &Frame::ethertype},
        {"version", &Frame::version}, {"ihl", &Frame::ihl}, {"tot_len", &Frame::tot_len}, {"frag", &Frame::frag},
        {"cut", &Frame::cut}};
    std::istringstream in(desc);
    for (std::string key, value; std::getline(in >> std::ws, key, '=') && in >> value;) {
        if (key == "src" || key == "ext")
            (key == "src" ? f.src : f.ext) = value;
        else if (number.count(key))
            f.*number.at(key) = static_cast<int>(strtol(value.c_str(), nullptr, 0));
        else
            return false;
    }
    return true;
}

// Only what the gate reads is filled in: no checksums, no source port, no TCP
// flags; the rig looks at frames, not sockets.
std::vector<uint8_t> build_frame(const std::string &desc)
{
    Frame f;
    if (!parse_frame(desc, f)) return {};
    const bool v6 = f.src.find(':') != std::string::npos;
    std::vector<uint8_t> v = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0x77, 0, 0, 0, 2};
    for (int t = 0; t < f.tags; t++) {
        bool outer = t == 0 && f.tags == 2;
        v.insert(v.end(), {uint8_t(outer ? 0x88 : 0x81), uint8_t(outer ? 0xa8 : 0x00), 0, uint8_t(10 + t)});
    }
    unsigned type = f.ethertype ? unsigned(f.ethertype) : v6 ? 0x86dd : 0x0800;
    int version = f.version ? f.version : v6 ? 6 : 4;
    v.insert(v.end(), {uint8_t(type >> 8), uint8_t(type)});
    size_t ip = v.size(), l4;
    if (v6) {
        v.resize(ip + 40);
        v[ip] = static_cast<uint8_t>(version << 4);
        v[ip + 6] = f.ext.empty() ? uint8_t(f.proto) : ext_code(f.ext[0]), v[ip + 7] = 64;
        inet_pton(AF_INET6, f.src.c_str(), &v[ip + 8]);
        inet_pton(AF_INET6, "2a0e:77::1", &v[ip + 24]);
        // 8 bytes each: options are one PadN, a routing header has type 253
        // (experimental) and no segments left.
        for (size_t e = 0; e < f.ext.size(); e++) {
            uint8_t next = e + 1 < f.ext.size() ? ext_code(f.ext[e + 1]) : uint8_t(f.proto);
            if (f.ext[e] == 'f')
                v.insert(v.end(), {next, 0, uint8_t(f.frag >> 8), uint8_t(f.frag), 0, 0, 0, 7});
            else
                v.insert(v.end(), {next, 0, uint8_t(f.ext[e] == 'r' ? 253 : 1), uint8_t(f.ext[e] == 'r' ? 0 : 4), 0, 0, 0, 0});
        }
        l4 = v.size();
    } else {
        l4 = ip + std::max(20, f.ihl * 4);
        v.resize(l4);
        v[ip] = static_cast<uint8_t>((version & 15) << 4 | (f.ihl & 15));
        put16(v, ip + 6, unsigned(f.frag));
        v[ip + 8] = 64, v[ip + 9] = uint8_t(f.proto);
        inet_pton(AF_INET, f.src.c_str(), &v[ip + 12]);
        inet_pton(AF_INET, "11.77.0.1", &v[ip + 16]);
    }
    v.resize(l4 + (f.proto == 6 ? 20 : 12));
    size_t len = f.tot_len >= 0 ? static_cast<size_t>(f.tot_len) : v.size() - ip - (v6 ? 40 : 0);
    put16(v, ip + (v6 ? 4 : 2), static_cast<unsigned>(len));
    put16(v, l4 + 2, unsigned(f.dport));
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

GateRig::GateRig()
{
    // IPv6 on gw0 alone, no addresses on the peer side: nothing but the test's own frames reaches the gate.
    const std::string quiet = "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1; ";
    gw.run("sh -c '" + quiet + "for i in 0 1 2; do ip link add gw$i type veth peer name pr$i netns " + peer.name + "; done; "
           "ip link set gw0 address 02:77:00:00:00:01; ip link add br0 type bridge; ip link set gw2 master br0; "
           "ip tuntap add dev mwtun0 mode tun; for d in gw0 gw1 gw2 br0; do ip link set $d up; done; "
           "ip addr add 11.77.0.1/16 dev gw0; ip addr add 11.78.0.1/16 dev gw1; ip addr add 11.81.0.1/16 dev br0; "
           "ip route add 11.90.0.0/16 via 11.77.0.9 dev gw0; sysctl -qw net.ipv6.conf.gw0.disable_ipv6=0; "
           "ip -6 addr add 2a0e:77::1/32 dev gw0 nodad; ip -6 addr add fd00:77::1/64 dev gw0 nodad; "
           "ip -6 route add 2a0e:99::/32 via 2a0e:77::9 dev gw0'");
    peer.run("sh -c '" + quiet + "ip link set pr0 up; ip link set pr1 up'");
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

void GateRig::stop(int sig)
{
    int st = 0;
    if (pid <= 0) return;
    kill(pid, sig), waitpid(pid, &st, 0);
    pid = -1, exit_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Every key of a pinned map with its value, a per-CPU map's summed over the CPUs.
static std::map<std::vector<uint8_t>, uint64_t> pinned_map(const std::string &path, size_t key_size)
{
    bpf_attr get{};
    get.pathname = reinterpret_cast<uintptr_t>(path.c_str());
    UniqueFd m(static_cast<int>(bpf_sys(BPF_OBJ_GET, get)));
    std::map<std::vector<uint8_t>, uint64_t> r;
    std::vector<uint8_t> key(key_size), prev;
    for (bpf_attr a{}; m.ok(); prev = key) {
        a.map_fd = static_cast<uint32_t>(m.fd);
        a.key = prev.empty() ? 0 : reinterpret_cast<uintptr_t>(prev.data());
        a.next_key = reinterpret_cast<uintptr_t>(key.data());
        if (bpf_sys(BPF_MAP_GET_NEXT_KEY, a) != 0) break;
        std::vector<uint64_t> v(4096);  // a per-CPU map writes a value for each possible CPU
        a.key = a.next_key, a.value = reinterpret_cast<uintptr_t>(v.data());
        bpf_sys(BPF_MAP_LOOKUP_ELEM, a);
        for (uint64_t x : v) r[key] += x;
    }
    return r;
}

// A key field in host order.
template <class T> static T host(const std::vector<uint8_t> &key)
{
    T x;
    memcpy(&x, key.data(), sizeof x);
    return x;
}

std::vector<uint64_t> GateRig::stats() const
{
    std::vector<uint64_t> v(MW_STAT_COUNT, 0);
    for (const auto &[k, n] : pinned_map(bpf.pindir + "/" MW_MAP_STATS, 4)) v.at(host<uint32_t>(k)) = n;
    return v;
}

std::string GateRig::lists() const
{
    std::set<std::string> r;
    std::string out;
    char t[64];
    for (const auto &[k, n] : pinned_map(bpf.pindir + "/" MW_MAP_DPORTS, 2)) r.insert("port " + std::to_string(host<uint16_t>(k)));
    for (int family : {AF_INET, AF_INET6}) {
        const bool v4 = family == AF_INET;
        for (const auto &[k, n] : pinned_map(bpf.pindir + (v4 ? "/" MW_MAP_DROP4 : "/" MW_MAP_DROP6), v4 ? 8 : 20))
            r.insert(inet_ntop(family, &k[4], t, sizeof t) + ("/" + std::to_string(host<uint32_t>(k))));
    }
    for (const std::string &line : r) out += line + "\n";
    return out;
}

// The numbers after each tag in what cmd prints in namespace ns, summed.
static uint64_t sum_after(const NetnsGuard &ns, const std::string &cmd, const std::string &tag)
{
    uint64_t n = 0;
    const std::string o = ns.out(cmd);
    for (size_t x = o.find(tag); x != std::string::npos; x = o.find(tag, x + 1)) n += std::stoull(o.substr(x + tag.size()));
    return n;
}

uint64_t GateRig::xdp_drops() const { return sum_after(gw, "ethtool -S gw0", "xdp_drops: "); }

unsigned GateRig::xdp_id(const std::string &ifname) const
{
    return static_cast<unsigned>(sum_after(gw, "ip -d link show dev " + ifname, "prog/xdp id "));
}

// A packet socket made in namespace ns (it stays there after we return), bound
// to its device dev; protocol 0 receives nothing.
static UniqueFd packet_socket(const NetnsGuard &ns, const std::string &dev, uint16_t protocol)
{
    UniqueFd self(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    UniqueFd target(open(("/var/run/netns/" + ns.name).c_str(), O_RDONLY | O_CLOEXEC));
    if (!self.ok() || !target.ok() || setns(target.fd, CLONE_NEWNET) != 0) return UniqueFd();
    UniqueFd s(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET, ll.sll_protocol = htons(protocol);
    ll.sll_ifindex = static_cast<int>(if_nametoindex(dev.c_str()));
    if (bind(s.fd, reinterpret_cast<sockaddr *>(&ll), sizeof ll) != 0) s.reset();
    setns(self.fd, CLONE_NEWNET);
    return s;
}

// The gate side hears nothing else (the peer has no addresses and no IPv6), so
// any frame coming in on gw0 is this one, past XDP.
int GateRig::raw(const std::string &frame)
{
    UniqueFd tap = packet_socket(gw, "gw0", ETH_P_ALL), tx = packet_socket(peer, "pr0", 0);
    std::vector<uint8_t> fr = build_frame(frame);
    if (!tap.ok() || send(tx.fd, fr.data(), fr.size(), 0) != static_cast<ssize_t>(fr.size())) return -1;
    sockaddr_ll ll{};
    socklen_t len = sizeof ll;
    pollfd p{tap.fd, POLLIN, 0};
    // veth hands frames on through a softirq: a dropped one gets 100 ms to show up.
    while (poll(&p, 1, 100) == 1 && recvfrom(tap.fd, nullptr, 0, MSG_TRUNC, reinterpret_cast<sockaddr *>(&ll), &len) >= 0)
        if (ll.sll_pkttype != PACKET_OUTGOING) return 1;
    return 0;
}
