// moatwalld and its XDP program on a real veth pair: traffic from the peer
// namespace, the daemon's socket, and the kernel's own view of the gate.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "moatwalld/gate_rig.hpp"

#define NEED_GATE()                                                   \
    do {                                                              \
        std::string why = gate_skip_reason();                        \
        if (!why.empty()) GTEST_SKIP() << why;                        \
    } while (0)

static std::vector<std::string> split_cmds(const std::string &s)
{
    std::vector<std::string> v;
    std::stringstream ss(s);
    std::string c;
    while (std::getline(ss, c, ',')) v.push_back(c);
    return v;
}

enum Send { UDP, TCP, RAW };

struct TrafficRow {
    const char *name;
    const char *cmds;   // sent to the daemon first, comma-separated
    Send how;
    Frame frame;        // src and dport for UDP/TCP, the whole frame for RAW
    int delivered;      // 1 reached the gate's socket, 0 not, -1 not checked
    int stat;           // the one statistic the packet must land in
};

static Frame from(const char *src, uint16_t dport) { Frame f; f.src = src; f.dport = dport; return f; }
static Frame tagged(int tags, const char *src, uint16_t dport) { Frame f = from(src, dport); f.tags = tags; return f; }

static const TrafficRow TRAFFIC[] = {
    {"udp_port23_dropped", "drop-port 23", UDP, from("11.77.0.2", 23), 0, MW_STAT_DROPPORT},
    {"udp_port24_passes", "drop-port 23", UDP, from("11.77.0.2", 24), 1, MW_STAT_PASS},
    {"tcp_syn_port23_dropped", "drop-port 23", TCP, from("11.77.0.2", 23), 0, MW_STAT_DROPPORT},
    {"tcp_port24_connects", "drop-port 23", TCP, from("11.77.0.2", 24), 1, MW_STAT_PASS},
    {"blocked_24_dropped", "block 11.77.1.0/24", UDP, from("11.77.1.2", 5000), 0, MW_STAT_DROPSRC},
    {"next_24_passes", "block 11.77.1.0/24", UDP, from("11.77.2.2", 5000), 1, MW_STAT_PASS},
    {"tcp_from_blocked_24_dropped", "block 11.77.1.0/24", TCP, from("11.77.1.2", 5001), 0, MW_STAT_DROPSRC},
    {"seeded_bogon_dropped", "seed", UDP, from("192.168.77.2", 5000), 0, MW_STAT_DROPSRC},
    {"seeded_public_passes", "seed", UDP, from("11.77.0.2", 5000), 1, MW_STAT_PASS},
    {"undropped_port_passes", "drop-port 23,undrop-port 23", UDP, from("11.77.0.2", 23), 1, MW_STAT_PASS},
    {"unblocked_prefix_passes", "block 11.77.1.0/24,unblock 11.77.1.0/24", UDP, from("11.77.1.2", 5000), 1,
     MW_STAT_PASS},
    {"raw_untagged_passes", "", RAW, from("11.77.0.2", 5000), 1, MW_STAT_PASS},
    {"vlan_port23_dropped", "drop-port 23", RAW, tagged(1, "11.77.0.2", 23), -1, MW_STAT_DROPPORT},
    {"vlan_port24_passes", "drop-port 23", RAW, tagged(1, "11.77.0.2", 24), -1, MW_STAT_PASS},
    {"vlan_blocked_src_dropped", "block 11.77.1.0/24", RAW, tagged(1, "11.77.1.2", 24), -1, MW_STAT_DROPSRC},
    {"qinq_port23_dropped", "drop-port 23", RAW, tagged(2, "11.77.0.2", 23), -1, MW_STAT_DROPPORT},
    {"qinq_next_24_passes", "block 11.77.1.0/24", RAW, tagged(2, "11.77.2.2", 23), -1, MW_STAT_PASS},
};

class GateTraffic : public ::testing::TestWithParam<TrafficRow> {
protected:
    static GateRig *rig;
    static void SetUpTestSuite()
    {
        if (!gate_skip_reason().empty()) return;
        rig = new GateRig;
        if (!rig->start() || rig->req("attach") != "OK\n") ADD_FAILURE() << "gate did not come up";
    }
    static void TearDownTestSuite()
    {
        delete rig;
        rig = nullptr;
    }
};
GateRig *GateTraffic::rig = nullptr;

TEST_P(GateTraffic, LandsInItsStatistic)
{
    NEED_GATE();
    const TrafficRow &r = GetParam();
    rig->clear_lists();
    for (const std::string &c : split_cmds(r.cmds)) ASSERT_EQ(rig->req(c), "OK\n") << c;
    auto before = rig->stats();
    int got = -1;
    if (r.how == UDP) got = rig->udp(r.frame.src, r.frame.dport);
    if (r.how == TCP) got = rig->tcp(r.frame.src, r.frame.dport);
    if (r.how == RAW) {
        rig->raw(r.frame);
        if (r.delivered >= 0) got = 1; // the counter below decides
    }
    usleep(50000); // closing TCP sockets still has frames in flight
    auto d = delta(rig->stats(), before);
    if (r.delivered >= 0 && r.how != RAW) {
        EXPECT_EQ(got, r.delivered);
    }
    EXPECT_GE(d[static_cast<size_t>(r.stat)], 1u);
    for (int k = 0; k < MW_STAT_COUNT; k++)
        if (k != r.stat) {
            EXPECT_EQ(d[static_cast<size_t>(k)], 0u) << "statistic " << k;
        }
}

INSTANTIATE_TEST_SUITE_P(Veth, GateTraffic, ::testing::ValuesIn(TRAFFIC),
                         [](const auto &i) { return std::string(i.param.name); });

// Counters equal what was sent, as bpftool reads them from the pins.
TEST(GateCounters, EqualWhatWasSent)
{
    NEED_GATE();
    GateRig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_EQ(rig.req("attach"), "OK\n");
    ASSERT_EQ(rig.req("drop-port 23"), "OK\n");
    ASSERT_EQ(rig.req("block 11.77.1.0/24"), "OK\n");
    auto before = rig.stats();
    for (int i = 0; i < 7; i++) EXPECT_TRUE(rig.udp("11.77.0.2", 5000));
    for (int i = 0; i < 5; i++) EXPECT_FALSE(rig.udp("11.77.0.2", 23));
    for (int i = 0; i < 3; i++) EXPECT_FALSE(rig.udp("11.77.1.2", 5000));
    Frame arp;
    arp.ethertype = 0x0806;
    rig.raw(arp, 4);
    // Truncated IPv4 headers: the frame ends inside the header, the header
    // claims fewer than 20 bytes, or it claims more bytes than arrived.
    Frame cut = from("11.77.0.2", 5000), shortihl = cut, longtot = cut, tinyfrag = cut;
    cut.cut = 14 + 12;
    shortihl.ihl = 4;
    longtot.tot_len = 1400;
    tinyfrag.tot_len = 24; // first fragment whose UDP header is cut off
    tinyfrag.frag = 0x2000;
    for (const Frame &f : {cut, shortihl, longtot, tinyfrag}) rig.raw(f, 2);
    auto d = delta(rig.stats(), before);
    EXPECT_EQ(d, (std::vector<uint64_t>{7, 3, 5, 4, 8}));
}

struct RestartRow {
    const char *name;
    int sig;
};
class GateRestart : public ::testing::TestWithParam<RestartRow> {};

TEST_P(GateRestart, KeepsListsAndAttachment)
{
    NEED_GATE();
    GateRig rig;
    ASSERT_TRUE(rig.start());
    for (const char *c : {"attach", "drop-port 23", "block 11.77.1.0/24"}) ASSERT_EQ(rig.req(c), "OK\n") << c;
    std::string status = rig.req("status");
    EXPECT_EQ(status, "iface gw0\nattached 1 xdpdrv\ngate gw0 xdpdrv\nOK\n");

    rig.stop(GetParam().sig);
    if (GetParam().sig == SIGTERM) {
        EXPECT_EQ(rig.exit_status, 0);
    }
    // With no daemon at all, the kernel keeps dropping.
    EXPECT_EQ(rig.xdp_on("gw0"), "moatwall_xdp");
    EXPECT_FALSE(rig.udp("11.77.0.2", 23));
    EXPECT_FALSE(rig.udp("11.77.1.2", 5000));
    EXPECT_TRUE(rig.udp("11.77.2.2", 24));

    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.req("status"), status);
    EXPECT_EQ(rig.prefixes(), std::vector<std::string>{"11.77.1.0/24"});
    EXPECT_EQ(rig.ports(), std::vector<unsigned>{23});
    EXPECT_FALSE(rig.udp("11.77.0.2", 23));
    EXPECT_TRUE(rig.udp("11.77.0.2", 24));
    ASSERT_EQ(rig.req("detach"), "OK\n");
    EXPECT_EQ(rig.xdp_on("gw0"), "");
    EXPECT_TRUE(rig.udp("11.77.0.2", 23));
}

INSTANTIATE_TEST_SUITE_P(Signals, GateRestart,
                         ::testing::Values(RestartRow{"sigterm", SIGTERM}, RestartRow{"sigkill", SIGKILL}),
                         [](const auto &i) { return std::string(i.param.name); });

TEST(GateMove, FollowsToTheOtherNicAndFallsBackToGeneric)
{
    NEED_GATE();
    GateRig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_EQ(rig.req("attach"), "OK\n");
    ASSERT_EQ(rig.req("drop-port 23"), "OK\n");
    ASSERT_EQ(rig.req("move gw1"), "OK\n");
    EXPECT_EQ(rig.req("status"), "iface gw1\nattached 1 xdpdrv\ngate gw1 xdpdrv\nOK\n");
    EXPECT_EQ(rig.xdp_on("gw0"), "");
    EXPECT_EQ(rig.xdp_on("gw1"), "moatwall_xdp");
    EXPECT_TRUE(rig.udp("11.77.0.2", 23));
    EXPECT_FALSE(rig.udp("11.78.0.2", 23, "11.78.0.1"));
    EXPECT_TRUE(rig.udp("11.78.0.2", 24, "11.78.0.1"));
    // A bridge has no native XDP: the attach falls back to generic.
    ASSERT_EQ(rig.req("move br0"), "OK\n");
    EXPECT_EQ(rig.req("status"), "iface br0\nattached 1 xdpgeneric\ngate br0 xdpgeneric\nOK\n");
    EXPECT_EQ(rig.xdp_on("gw1"), "");
    // The move survives a restart with a different -i.
    rig.stop(SIGKILL);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.req("status"), "iface br0\nattached 1 xdpgeneric\ngate br0 xdpgeneric\nOK\n");
    // Detached, "move" only changes where the next attach goes.
    ASSERT_EQ(rig.req("detach"), "OK\n");
    ASSERT_EQ(rig.req("move gw0"), "OK\n");
    EXPECT_EQ(rig.req("status"), "iface gw0\nattached 0 none\nOK\n");
    EXPECT_EQ(rig.xdp_on("gw0"), "");
}

struct RefusalRow {
    std::string request;
    const char *reply;
};

static const RefusalRow REFUSALS[] = {
    {"block 1.2.3.0", "ERR bad prefix 1.2.3.0 (want a.b.c.d/len)"},
    {"block 1.2.3/24", "ERR bad prefix 1.2.3/24 (want a.b.c.d/len)"},
    {"block 1.2.3.4.5/32", "ERR bad prefix 1.2.3.4.5/32 (want a.b.c.d/len)"},
    {"block 256.1.1.0/24", "ERR octet 256 over 255 in 256.1.1.0/24"},
    {"block 1.2.999.0/24", "ERR octet 999 over 255 in 1.2.999.0/24"},
    {"block 1000.1.1.0/24", "ERR bad prefix 1000.1.1.0/24 (want a.b.c.d/len)"},
    {"block 01.2.3.0/24", "ERR bad prefix 01.2.3.0/24 (want a.b.c.d/len)"},
    {"block 1.2.3.0/33", "ERR prefix length 33 over 32 in 1.2.3.0/33"},
    {"block 1.2.3.0/-1", "ERR bad prefix 1.2.3.0/-1 (want a.b.c.d/len)"},
    {"block 1.2.3.0/24x", "ERR bad prefix 1.2.3.0/24x (want a.b.c.d/len)"},
    {"block 1.2.3.0/", "ERR bad prefix 1.2.3.0/ (want a.b.c.d/len)"},
    {"block /24", "ERR bad prefix /24 (want a.b.c.d/len)"},
    {"block ", "ERR bad prefix  (want a.b.c.d/len)"},
    {"block", "ERR block needs an argument"},
    {"block 1.2.3.4/24", "ERR host bits set in 1.2.3.4/24 (network is 1.2.3.0/24)"},
    {"block 10.0.0.1/0", "ERR host bits set in 10.0.0.1/0 (network is 0.0.0.0/0)"},
    {"unblock 1.2.3.0/24", "ERR not blocked: 1.2.3.0/24"},
    {"unblock 1.2.3.1/24", "ERR host bits set in 1.2.3.1/24 (network is 1.2.3.0/24)"},
    {"drop-port 0", "ERR port must be 1 to 65535, not 0"},
    {"drop-port 65536", "ERR port must be 1 to 65535, not 65536"},
    {"drop-port 4294967295", "ERR port must be 1 to 65535, not 4294967295"},
    {"drop-port 4294967319", "ERR port must be 1 to 65535, not 4294967319"},
    {"drop-port -1", "ERR port must be 1 to 65535, not -1"},
    {"drop-port 23x", "ERR port must be 1 to 65535, not 23x"},
    {"drop-port ", "ERR port must be 1 to 65535, not "},
    {"drop-port", "ERR drop-port needs an argument"},
    {"undrop-port 77", "ERR port not dropped: 77"},
    {"undrop-port 0", "ERR port must be 1 to 65535, not 0"},
    {"move nosuch0", "ERR no such interface: nosuch0"},
    {"move ../gw1", "ERR bad interface name ../gw1"},
    {"move gw1 extra", "ERR bad interface name gw1 extra"},
    {"move averyveryverylongname", "ERR bad interface name averyveryverylongname"},
    {"move", "ERR move needs an argument"},
    {"status now", "ERR status takes no argument"},
    {"attach please", "ERR attach takes no argument"},
    {"frobnicate", "ERR unknown command frobnicate"},
    {"STATUS", "ERR unknown command STATUS"},
    {"\x1b[31mred", "ERR unknown command ?[31mred"},
    {"", "ERR empty request"},
    {std::string("sta\0tus", 7), "ERR NUL byte in request"},
    {std::string(62, 'x'), "ERR unknown command xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
    {std::string(63, 'x'), "ERR line too long (at most 62 characters)"},
    {"block " + std::string(500, '1'), "ERR line too long (at most 62 characters)"},
};

TEST(GateValidation, EveryRefusalChangesNothing)
{
    NEED_GATE();
    GateRig rig;
    ASSERT_TRUE(rig.start());
    std::string status = rig.req("status");
    for (const RefusalRow &r : REFUSALS)
        EXPECT_EQ(rig.req(r.request), std::string(r.reply) + "\n") << "request: " << r.request;
    EXPECT_TRUE(rig.prefixes().empty());
    EXPECT_TRUE(rig.ports().empty());
    EXPECT_EQ(rig.req("status"), status);
    // The limits themselves are accepted.
    for (const char *ok : {"drop-port 1", "drop-port 65535", "block 0.0.0.0/0", "block 255.255.255.255/32",
                           "drop-port 00023", "move gw1"})
        EXPECT_EQ(rig.req(ok), "OK\n") << ok;
    EXPECT_EQ(rig.ports(), (std::vector<unsigned>{1, 23, 65535}));
    EXPECT_EQ(rig.prefixes(), (std::vector<std::string>{"0.0.0.0/0", "255.255.255.255/32"}));
}

// A request and the whole reply over one connection that is kept open.
static std::string exchange(int fd, const std::string &line, double *ms)
{
    auto t0 = std::chrono::steady_clock::now();
    std::string l = line + "\n", out;
    if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return "";
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (out.find("OK\n") == std::string::npos && out.find("ERR") == std::string::npos && poll(&p, 1, 700) == 1) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    return out;
}

static UniqueFd connect_to(const std::string &path)
{
    UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (connect(s.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) s.reset();
    return s;
}

TEST(GateClients, SilentAndFloodingPeersDoNotDelayOthers)
{
    NEED_GATE();
    GateRig rig;
    ASSERT_TRUE(rig.start());
    UniqueFd silent = connect_to(rig.bpf.sock), partial = connect_to(rig.bpf.sock);
    ASSERT_EQ(write(partial.fd, "sta", 3), 3);
    UniqueFd flood = connect_to(rig.bpf.sock);
    fcntl(flood.fd, F_SETFL, O_NONBLOCK);
    std::string burst;
    while (burst.size() < 4000) burst += "status\n";
    size_t sent = 0;
    ssize_t w;
    while ((w = write(flood.fd, burst.data(), burst.size())) > 0) sent += static_cast<size_t>(w); // never reads
    EXPECT_GT(sent, 20000u);
    // More idle peers than the daemon keeps: the idlest make room.
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 40; i++) idle.push_back(connect_to(rig.bpf.sock));
    UniqueFd good = connect_to(rig.bpf.sock);
    for (int i = 0; i < 20; i++) {
        double ms = 0;
        std::string r = exchange(good.fd, i % 2 ? "status" : "drop-port 99", &ms);
        EXPECT_TRUE(r == "OK\n" || r.find("\nOK\n") != std::string::npos) << r;
        EXPECT_LT(ms, 700.0);
    }
    // Same connection, an over-long line and the next request still answered.
    double ms;
    EXPECT_EQ(exchange(good.fd, std::string(100, 'z'), &ms), "ERR line too long (at most 62 characters)\n");
    EXPECT_EQ(exchange(good.fd, "undrop-port 99", &ms), "OK\n");
}

TEST(GatePeers, NonRootIsRefusedAndChangesNothing)
{
    NEED_GATE();
    GateRig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_EQ(rig.req("attach"), "OK\n");
    struct stat st;
    ASSERT_EQ(stat(rig.bpf.sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    chmod(rig.bpf.sock.c_str(), 0666); // only so that nobody can reach the peer check
    std::string status = rig.req("status");
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        std::string all;
        for (const char *c : {"status", "detach", "block 11.77.0.0/16", "drop-port 5000", "move gw1", "seed"}) {
            double ms;
            UniqueFd s = connect_to(rig.bpf.sock);
            all += exchange(s.fd, c, &ms);
        }
        (void)!write(p[1], all.data(), all.size());
        _exit(0);
    }
    close(p[1]);
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    close(p[0]);
    waitpid(pid, nullptr, 0);
    std::string want;
    for (int i = 0; i < 6; i++) want += "ERR not permitted\n";
    EXPECT_EQ(got, want);
    EXPECT_EQ(rig.req("status"), status);
    EXPECT_TRUE(rig.prefixes().empty());
    EXPECT_TRUE(rig.ports().empty());
    EXPECT_TRUE(rig.udp("11.77.0.2", 5000));
}

// The systemd unit grants only CAP_BPF and CAP_NET_ADMIN; each is needed.
struct CapRow {
    const char *caps;
    bool serves;
};
class GateCaps : public ::testing::TestWithParam<CapRow> {};

TEST_P(GateCaps, BoundingSet)
{
    NEED_GATE();
    GateRig rig;
    std::string w = std::string("setpriv --no-new-privs --inh-caps=-all --bounding-set=-all") + GetParam().caps;
    bool up = rig.start(w);
    EXPECT_EQ(up, GetParam().serves);
    if (!up) {
        EXPECT_EQ(rig.exit_status, 1);
        return;
    }
    EXPECT_EQ(rig.req("attach"), "OK\n");
    EXPECT_EQ(rig.req("block 11.77.1.0/24"), "OK\n");
    EXPECT_FALSE(rig.udp("11.77.1.2", 5000));
    EXPECT_EQ(rig.req("move gw1"), "OK\n");
    EXPECT_EQ(rig.req("detach"), "OK\n");
}

INSTANTIATE_TEST_SUITE_P(Caps, GateCaps,
                         ::testing::Values(CapRow{",+bpf,+net_admin", true}, CapRow{",+bpf", false},
                                           CapRow{",+net_admin", false}),
                         [](const auto &i) { return i.index == 0 ? std::string("bpf_net_admin")
                                                                  : i.index == 1 ? std::string("bpf_only")
                                                                                 : std::string("net_admin_only"); });

// Inside "ip netns exec" /sys is fresh and has no bpffs: the daemon mounts one.
TEST(GateMount, MountsBpffsWhenMissing)
{
    NEED_GATE();
    NetnsGuard ns("mwmnt");
    BpfDir dir; // only for the socket path
    pid_t pid = fork();
    if (pid == 0) {
        execlp("ip", "ip", "netns", "exec", ns.name.c_str(), MW_DAEMON, "-i", "lo", "-S", dir.sock.c_str(), "-o",
               MW_OBJ, static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string pin = "/proc/" + std::to_string(pid) + "/root/sys/fs/bpf/moatwall/" MW_MAP_STATS;
    bool found = false;
    for (int i = 0; i < 200 && !found; i++, usleep(25000)) found = access(pin.c_str(), F_OK) == 0;
    EXPECT_TRUE(found);
    struct statfs sf;
    EXPECT_EQ(statfs(("/proc/" + std::to_string(pid) + "/root/sys/fs/bpf").c_str(), &sf), 0);
    EXPECT_EQ(static_cast<uint32_t>(sf.f_type), 0xcafe4a11u);
    kill(pid, SIGTERM);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST(GateUnit, SystemdAcceptsTheUnit)
{
    if (sh("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "systemd-analyze missing";
    // verify wants the ExecStart binary to exist: check a copy pointing at the build.
    std::string dir = "/tmp/mwunit_" + std::to_string(getpid());
    sh("mkdir -p " + dir);
    sh("sed 's|^ExecStart=[^ ]*|ExecStart=" MW_DAEMON "|' " MW_UNIT " > " + dir + "/moatwall.service");
    std::string out = sh_out("systemd-analyze verify " + dir + "/moatwall.service 2>&1");
    sh("rm -rf " + dir);
    EXPECT_EQ(out, "");
}
