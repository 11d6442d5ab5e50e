#include "moatwalld/gate_rig.hpp"

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

std::string gate_skip_reason()
{
    if (geteuid() != 0) return "needs root";
    if (!netns_available()) return "network namespaces unavailable";
    if (access(MW_DAEMON, X_OK) != 0 || access(MW_OBJ, R_OK) != 0) return "moatwalld not built";
    if (sh("command -v bpftool >/dev/null 2>&1") != 0) return "bpftool missing";
    return "";
}

static int g_bpf_seq = 0;

BpfDir::BpfDir()
{
    dir = "/tmp/mwt_" + std::to_string(getpid()) + "_" + std::to_string(g_bpf_seq++);
    sh("rm -rf " + dir);
    mkdir(dir.c_str(), 0755);
    std::string b = dir + "/bpf";
    mkdir(b.c_str(), 0700);
    mount("bpf", b.c_str(), "bpf", 0, "mode=0700");
    pindir = b + "/moatwall";
    sock = dir + "/sock";
}

BpfDir::~BpfDir()
{
    umount2((dir + "/bpf").c_str(), MNT_DETACH);
    sh("rm -rf " + dir);
}

static uint16_t csum(const uint8_t *p, size_t n)
{
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < n; i += 2) s += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) s += static_cast<uint32_t>(p[n - 1] << 8);
    while (s >> 16) s = (s & 0xffff) + (s >> 16);
    return static_cast<uint16_t>(~s);
}

static void put16(std::vector<uint8_t> &v, size_t at, uint16_t x)
{
    v[at] = static_cast<uint8_t>(x >> 8);
    v[at + 1] = static_cast<uint8_t>(x);
}

std::vector<uint8_t> build_frame(const Frame &f, const uint8_t dmac[6], const uint8_t smac[6])
{
    std::vector<uint8_t> v(12);
    memcpy(v.data(), dmac, 6);
    memcpy(v.data() + 6, smac, 6);
    for (int t = 0; t < f.tags; t++) {
        v.push_back(t == 0 && f.tags == 2 ? 0x88 : 0x81);
        v.push_back(t == 0 && f.tags == 2 ? 0xa8 : 0x00);
        v.push_back(0x00);
        v.push_back(static_cast<uint8_t>(10 + t)); // VLAN id
    }
    v.push_back(static_cast<uint8_t>(f.ethertype >> 8));
    v.push_back(static_cast<uint8_t>(f.ethertype));
    size_t ip = v.size();
    size_t l4len = f.proto == 6 ? 20 : 8 + 4;
    size_t ihl = static_cast<size_t>(f.ihl) * 4;
    v.resize(ip + (ihl < 20 ? 20 : ihl) + l4len);
    v[ip] = static_cast<uint8_t>((f.version & 15) << 4 | (f.ihl & 15));
    put16(v, ip + 2, static_cast<uint16_t>(f.tot_len >= 0 ? f.tot_len : static_cast<int>(v.size() - ip)));
    put16(v, ip + 6, f.frag);
    v[ip + 8] = 64;
    v[ip + 9] = f.proto;
    inet_pton(AF_INET, f.src, &v[ip + 12]);
    inet_pton(AF_INET, f.dst, &v[ip + 16]);
    put16(v, ip + 10, csum(&v[ip], ihl < 20 ? 20 : ihl));
    size_t l4 = ip + (ihl < 20 ? 20 : ihl);
    put16(v, l4, 40000);
    put16(v, l4 + 2, f.dport);
    if (f.proto == 6) {
        v[l4 + 12] = 0x50; // data offset 5 words
        v[l4 + 13] = 0x02; // SYN
    } else {
        put16(v, l4 + 4, static_cast<uint16_t>(l4len)); // UDP length, checksum 0
    }
    if (f.cut >= 0 && static_cast<size_t>(f.cut) < v.size()) v.resize(static_cast<size_t>(f.cut));
    return v;
}

UniqueFd ns_socket(const std::string &ns, int domain, int type, int proto)
{
    UniqueFd self(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    UniqueFd target(open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC));
    if (!self.ok() || !target.ok() || setns(target.fd, CLONE_NEWNET) != 0) return UniqueFd();
    UniqueFd s(socket(domain, type | SOCK_CLOEXEC, proto));
    setns(self.fd, CLONE_NEWNET);
    return s;
}

static void read_mac(const NetnsGuard &ns, const char *dev, uint8_t mac[6])
{
    std::string m = ns.out(std::string("cat /sys/class/net/") + dev + "/address");
    unsigned b[6] = {};
    sscanf(m.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
    for (int i = 0; i < 6; i++) mac[i] = static_cast<uint8_t>(b[i]);
}

GateRig::GateRig()
{
    // No IPv6 and static neighbours: nothing but the test's own frames reaches the gate.
    for (const NetnsGuard *n : {&gw, &peer}) {
        n->run("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
        n->run("sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0");
    }
    gw.run("ip link add gw0 type veth peer name pr0 netns " + peer.name);
    gw.run("ip link add gw1 type veth peer name pr1 netns " + peer.name);
    gw.run("ip link add br0 type bridge"); // no native XDP: the generic fallback
    gw.run("ip addr add 11.77.0.1/16 dev gw0");
    gw.run("ip addr add 11.78.0.1/16 dev gw1");
    peer.run("ip addr add 11.77.0.2/16 dev pr0");
    peer.run("ip addr add 11.77.1.2/16 dev pr0");
    peer.run("ip addr add 11.77.2.2/16 dev pr0");
    peer.run("ip addr add 192.168.77.2/32 dev pr0");
    peer.run("ip addr add 11.78.0.2/16 dev pr1");
    for (const char *d : {"gw0", "gw1", "br0"}) gw.run(std::string("ip link set ") + d + " up");
    for (const char *d : {"pr0", "pr1"}) peer.run(std::string("ip link set ") + d + " up");
    read_mac(gw, "gw0", gw_mac);
    read_mac(peer, "pr0", pr_mac);
    uint8_t gw1[6], pr1[6];
    read_mac(gw, "gw1", gw1);
    read_mac(peer, "pr1", pr1);
    auto mac = [](const uint8_t *m) {
        char b[18];
        snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
        return std::string(b);
    };
    peer.run("ip neigh replace 11.77.0.1 lladdr " + mac(gw_mac) + " dev pr0 nud permanent");
    peer.run("ip neigh replace 11.78.0.1 lladdr " + mac(gw1) + " dev pr1 nud permanent");
    for (const char *a : {"11.77.0.2", "11.77.1.2", "11.77.2.2", "192.168.77.2"})
        gw.run(std::string("ip neigh replace ") + a + " lladdr " + mac(pr_mac) + " dev gw0 nud permanent");
    gw.run("ip route add 192.168.77.2/32 dev gw0");
    gw.run("ip neigh replace 11.78.0.2 lladdr " + mac(pr1) + " dev gw1 nud permanent");
}

GateRig::~GateRig()
{
    if (pid > 0) stop(SIGKILL);
    // The pinned link outlives the daemon by design; deleting the namespace
    // removes the devices and with them the attachment.
}

bool GateRig::start(const std::string &wrapper)
{
    log = bpf.dir + "/daemon.log";
    std::string cmd = "exec ip netns exec " + gw.name + " " + wrapper + " " MW_DAEMON " -i gw0 -p " + bpf.pindir +
                      " -S " + bpf.sock + " -o " MW_OBJ " 2>>" + log;
    pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 200; i++) {
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) {
            pid = -1;
            exit_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return false;
        }
        if (req("status").find("OK") != std::string::npos) return true;
        usleep(25000);
    }
    return false;
}

void GateRig::stop(int sig)
{
    if (pid <= 0) return;
    kill(pid, sig);
    int st = 0;
    waitpid(pid, &st, 0);
    exit_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    pid = -1;
}

std::string GateRig::req(const std::string &line) const
{
    UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", bpf.sock.c_str());
    if (connect(s.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return "";
    std::string l = line + "\n";
    if (write(s.fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return "";
    std::string out;
    char buf[4096];
    pollfd p{s.fd, POLLIN, 0};
    while (poll(&p, 1, 700) == 1) {
        ssize_t n = read(s.fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        if (out.size() < 2 || out.back() != '\n') continue;
        size_t st = out.rfind('\n', out.size() - 2);
        st = st == std::string::npos ? 0 : st + 1;
        if (out.compare(st, 2, "OK") == 0 || out.compare(st, 3, "ERR") == 0) break;
    }
    return out;
}

std::vector<uint64_t> GateRig::stats() const
{
    std::vector<uint64_t> v(MW_STAT_COUNT, 0);
    std::string j = sh_out("bpftool -j map dump pinned " + bpf.pindir + "/" MW_MAP_STATS " 2>/dev/null");
    // With BTF, bpftool adds {"formatted":{"key":K,"values":[{"cpu":C,"value":V},...]}}.
    std::regex entry(R"("formatted":\{"key":(\d+),"values":\[([^\]]*)\])");
    std::regex val(R"("value":(\d+))");
    for (auto it = std::sregex_iterator(j.begin(), j.end(), entry); it != std::sregex_iterator(); ++it) {
        size_t k = std::stoul((*it)[1]);
        std::string vals = (*it)[2];
        for (auto vi = std::sregex_iterator(vals.begin(), vals.end(), val); vi != std::sregex_iterator(); ++vi)
            if (k < v.size()) v[k] += std::stoull((*vi)[1]);
    }
    return v;
}

std::vector<std::string> GateRig::prefixes() const
{
    std::vector<std::string> r;
    std::string j = sh_out("bpftool -j map dump pinned " + bpf.pindir + "/" MW_MAP_DROP4 " 2>/dev/null");
    std::regex e(R"("prefixlen":(\d+),"addr":\[(\d+),(\d+),(\d+),(\d+)\])");
    for (auto it = std::sregex_iterator(j.begin(), j.end(), e); it != std::sregex_iterator(); ++it)
        r.push_back((*it)[2].str() + "." + (*it)[3].str() + "." + (*it)[4].str() + "." + (*it)[5].str() + "/" +
                    (*it)[1].str());
    std::sort(r.begin(), r.end());
    return r;
}

std::vector<unsigned> GateRig::ports() const
{
    std::vector<unsigned> r;
    std::string j = sh_out("bpftool -j map dump pinned " + bpf.pindir + "/" MW_MAP_DPORTS " 2>/dev/null");
    std::regex e(R"("formatted":\{"key":(\d+))");
    for (auto it = std::sregex_iterator(j.begin(), j.end(), e); it != std::sregex_iterator(); ++it)
        r.push_back(static_cast<unsigned>(std::stoul((*it)[1])));
    std::sort(r.begin(), r.end());
    return r;
}

void GateRig::clear_lists() const
{
    for (const char *m : {MW_MAP_DROP4, MW_MAP_DPORTS}) {
        int fd = bpf_obj_get((bpf.pindir + "/" + m).c_str());
        uint8_t key[8], next[8];
        while (bpf_map_get_next_key(fd, nullptr, next) == 0) {
            memcpy(key, next, sizeof key);
            bpf_map_delete_elem(fd, key);
        }
        close(fd);
    }
}

std::string GateRig::xdp_on(const std::string &ifname) const
{
    std::string o = gw.out("ip -d link show dev " + ifname);
    std::smatch m;
    if (std::regex_search(o, m, std::regex(R"(prog/xdp id \d+ name (\S+))"))) return m[1];
    return "";
}

static bool wait_readable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

static sockaddr_in sin_of(const char *a, uint16_t port)
{
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_port = htons(port);
    inet_pton(AF_INET, a, &s.sin_addr);
    return s;
}

// A dropped packet gets 300 ms to show up; a passed one arrives in microseconds.
bool GateRig::udp(const char *src, uint16_t dport, const char *dst)
{
    UniqueFd rx = ns_socket(gw.name, AF_INET, SOCK_DGRAM, 0);
    UniqueFd tx = ns_socket(peer.name, AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(rx.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any = sin_of("0.0.0.0", dport), from = sin_of(src, 0), to = sin_of(dst, dport);
    if (bind(rx.fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) return false;
    if (bind(tx.fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) return false;
    sendto(tx.fd, "moat", 4, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    return wait_readable(rx.fd, 300);
}

bool GateRig::tcp(const char *src, uint16_t dport)
{
    UniqueFd ls = ns_socket(gw.name, AF_INET, SOCK_STREAM, 0);
    UniqueFd c = ns_socket(peer.name, AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(ls.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any = sin_of("0.0.0.0", dport), from = sin_of(src, 0), to = sin_of("11.77.0.1", dport);
    if (bind(ls.fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0 || listen(ls.fd, 4) != 0) return false;
    if (bind(c.fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) return false;
    connect(c.fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    // Shorter than the first SYN retransmission (1 s), so a drop counts once.
    pollfd p{c.fd, POLLOUT, 0};
    if (poll(&p, 1, 300) != 1) return false;
    int err = 0;
    socklen_t el = sizeof err;
    getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &el);
    return err == 0;
}

void GateRig::raw(const Frame &f, int count, const char *dev)
{
    UniqueFd s = ns_socket(peer.name, AF_PACKET, SOCK_RAW, 0);
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = static_cast<int>(std::stoi(peer.out(std::string("cat /sys/class/net/") + dev + "/ifindex")));
    ll.sll_halen = 6;
    std::vector<uint8_t> fr = build_frame(f, gw_mac, pr_mac);
    for (int i = 0; i < count; i++)
        sendto(s.fd, fr.data(), fr.size(), 0, reinterpret_cast<sockaddr *>(&ll), sizeof ll);
    usleep(50000); // veth hands frames on through a softirq; let it run
}

std::vector<uint64_t> delta(const std::vector<uint64_t> &after, const std::vector<uint64_t> &before)
{
    std::vector<uint64_t> d(after.size());
    for (size_t i = 0; i < after.size(); i++) d[i] = after[i] - (i < before.size() ? before[i] : 0);
    return d;
}
