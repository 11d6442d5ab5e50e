// moatwalld and its XDP program on real veth pairs: traffic from the peer
// namespace, the daemon's socket, and the kernel's own view of the gate.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gate/moatwall_contract.h"
#include "support/gate_rig.hpp"
#include "support/tmpdir.hpp"

#define NEED_GATE() \
    if (std::string why = gate_skip_reason(); !why.empty()) GTEST_SKIP() << why
#define START_GATE(...) \
    NEED_GATE();        \
    GateRig rig;        \
    ASSERT_TRUE(rig.start(__VA_ARGS__))
#define ALL_OK(...) \
    for (const char *c : {__VA_ARGS__}) ASSERT_EQ(rig.req(c), "OK\n") << c

using Stats = std::vector<uint64_t>;
static Stats delta(Stats after, const Stats &before)
{
    for (size_t i = 0; i < after.size(); i++) after[i] -= before[i];
    return after;
}

struct TrafficRow {
    const char *name;
    Frame f;    // sent on pr0 as it stands
    bool drop;  // the verdict, as the veth driver counts it
    int stat;   // the one statistic the packet must land in
};

// Every drop beside its pass twin, with port 23 and 11.77.1.0/24, 203.0.0.0/8
// and 11.80.0.7/32 on the lists.
static const TrafficRow TRAFFIC[] = {
    {"udp_port23_dropped", {.dport = 23}, true, MW_STAT_DROPPORT},
    {"udp_port24_passes", {.dport = 24}, false, MW_STAT_PASS},
    {"blocked_24_dropped", {.src = "11.77.1.2"}, true, MW_STAT_DROPSRC},
    {"next_24_passes", {.src = "11.77.2.2"}, false, MW_STAT_PASS},
    {"tcp_syn_port23_dropped", {.dport = 23, .proto = 6}, true, MW_STAT_DROPPORT},
    {"tcp_syn_port24_passes", {.dport = 24, .proto = 6}, false, MW_STAT_PASS},
    {"icmp_clean_passes", {.dport = 23, .proto = 1}, false, MW_STAT_PASS},
    {"icmp_blocked_src_dropped", {.src = "11.77.1.9", .proto = 1}, true, MW_STAT_DROPSRC},
    {"inside_slash8_dropped", {.src = "203.9.9.9"}, true, MW_STAT_DROPSRC},
    {"exact_slash32_dropped", {.src = "11.80.0.7"}, true, MW_STAT_DROPSRC},
    {"beside_slash32_passes", {.src = "11.80.0.8"}, false, MW_STAT_PASS},
    {"src_wins_over_port", {.src = "11.77.1.9", .dport = 23}, true, MW_STAT_DROPSRC},
    {"ip_options_port23_dropped", {.dport = 23, .ihl = 6}, true, MW_STAT_DROPPORT},
    {"first_fragment_port23_dropped", {.dport = 23, .frag = 0x2000}, true, MW_STAT_DROPPORT},
    {"later_fragment_has_no_port", {.dport = 23, .frag = 0x0010}, false, MW_STAT_PASS},
    {"later_fragment_blocked_src", {.src = "11.77.1.9", .dport = 23, .frag = 0x0010}, true, MW_STAT_DROPSRC},
    {"vlan_port23_dropped", {.dport = 23, .tags = 1}, true, MW_STAT_DROPPORT},
    {"vlan_port24_passes", {.dport = 24, .tags = 1}, false, MW_STAT_PASS},
    {"vlan_blocked_src_dropped", {.src = "11.77.1.2", .dport = 24, .tags = 1}, true, MW_STAT_DROPSRC},
    {"qinq_port23_dropped", {.dport = 23, .tags = 2}, true, MW_STAT_DROPPORT},
    {"qinq_next_24_passes", {.src = "11.77.2.2", .dport = 23 + 1, .tags = 2}, false, MW_STAT_PASS},
    {"qinq_blocked_src_dropped", {.src = "11.77.1.9", .dport = 24, .tags = 2}, true, MW_STAT_DROPSRC},
    {"qinq_tcp_passes", {.dport = 24, .proto = 6, .tags = 2}, false, MW_STAT_PASS},
    {"arp_nonip", {.dport = 23, .ethertype = 0x0806}, false, MW_STAT_NONIP},
    {"ipv6_nonip", {.dport = 23, .ethertype = 0x86dd}, false, MW_STAT_NONIP},
    {"vlan_tag_cut_off", {.dport = 23, .tags = 1, .cut = 16}, true, MW_STAT_MALFORMED},
    {"ipv4_header_cut_off", {.dport = 23, .cut = 14 + 19}, true, MW_STAT_MALFORMED},
    {"ihl_below_5", {.dport = 23, .ihl = 4}, true, MW_STAT_MALFORMED},
    {"version_6_in_ipv4", {.dport = 23, .version = 6}, true, MW_STAT_MALFORMED},
    {"total_below_header", {.proto = 1, .tot_len = 19}, true, MW_STAT_MALFORMED},
    {"total_beyond_frame", {.tot_len = 1500}, true, MW_STAT_MALFORMED},
    {"tcp_header_cut_by_total", {.dport = 24, .proto = 6, .tot_len = 20 + 12}, true, MW_STAT_MALFORMED},
    {"options_eat_udp_header", {.dport = 24, .ihl = 15, .tot_len = 64}, true, MW_STAT_MALFORMED},
    {"total_shorter_than_frame_ok", {.dport = 24, .tot_len = 28}, false, MW_STAT_PASS},
};

class GateTraffic : public ::testing::TestWithParam<TrafficRow> {
protected:
    static GateRig *rig;
    static void SetUpTestSuite()
    {
        if (!gate_skip_reason().empty()) return;
        rig = new GateRig;
        if (!rig->start()) ADD_FAILURE() << "gate did not come up";
        for (const char *c : {"attach", "drop-port 23", "block 11.77.1.0/24", "block 203.0.0.0/8", "block 11.80.0.7/32"})
            EXPECT_EQ(rig->req(c), "OK\n") << c;
    }
    static void TearDownTestSuite() { delete rig; }
};
GateRig *GateTraffic::rig = nullptr;

TEST_P(GateTraffic, OneVerdictOneStatistic)
{
    NEED_GATE();
    const TrafficRow &r = GetParam();
    Stats before = rig->stats();
    uint64_t drops = rig->xdp_drops();
    rig->raw(r.f);
    Stats want(MW_STAT_COUNT, 0);
    want[size_t(r.stat)] = 1;
    EXPECT_EQ(delta(rig->stats(), before), want);
    EXPECT_EQ(rig->xdp_drops() - drops, r.drop ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Veth, GateTraffic, ::testing::ValuesIn(TRAFFIC),
                         [](const auto &i) { return std::string(i.param.name); });

// Counters equal what was sent, as bpftool reads them from the pins. The lists
// and the attachment outlive a killed daemon, and a restarted one still changes them.
TEST(GateRestart, KeepsListsAndAttachment)
{
    START_GATE();
    ALL_OK("attach", "drop-port 23", "block 11.77.1.0/24");
    const std::string status = "iface gw0\nattached 1 xdpdrv\ngate gw0 xdpdrv\nOK\n";
    EXPECT_EQ(rig.req("status"), status);
    Stats before = rig.stats();
    EXPECT_EQ(rig.udp("11.77.0.2", 5000, 7) + rig.udp("11.77.0.2", 23, 5) + rig.udp("11.77.1.2", 5000, 3), 7);
    EXPECT_EQ(delta(rig.stats(), before), (Stats{7, 3, 5, 0, 0}));
    rig.stop(SIGKILL);
    // With no daemon at all, the kernel keeps dropping.
    EXPECT_EQ(rig.xdp_on("gw0"), "moatwall_xdp");
    EXPECT_EQ(rig.udp("11.77.0.2", 23), 0);
    EXPECT_EQ(rig.udp("11.77.1.2", 5000), 0);
    EXPECT_EQ(rig.udp("11.77.2.2", 24), 1);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.req("status"), status);
    EXPECT_EQ(rig.prefixes(), std::vector<std::string>{"11.77.1.0/24"});
    EXPECT_EQ(rig.ports(), std::vector<std::string>{"23"});
    EXPECT_EQ(rig.udp("11.77.0.2", 23), 0);
    ALL_OK("unblock 11.77.1.0/24", "undrop-port 23", "seed");
    EXPECT_EQ(rig.prefixes().size(), 14u);
    EXPECT_EQ(rig.udp("11.77.1.2", 5000), 1);
    EXPECT_EQ(rig.udp("11.77.0.2", 23), 1);
    EXPECT_EQ(rig.udp("192.168.77.2", 5000), 0) << "a bogon source after seed";
    ALL_OK("detach");
    EXPECT_EQ(rig.xdp_on("gw0"), "");
    EXPECT_EQ(rig.udp("192.168.77.2", 5000), 1);
}

TEST(GateMove, FollowsToTheOtherNicAndFallsBackToGeneric)
{
    START_GATE();
    ALL_OK("attach", "drop-port 23", "move gw1");
    EXPECT_EQ(rig.req("status"), "iface gw1\nattached 1 xdpdrv\ngate gw1 xdpdrv\nOK\n");
    EXPECT_EQ(rig.udp("11.77.0.2", 23), 1);
    EXPECT_EQ(rig.udp("11.78.0.2", 23, 1, "11.78.0.1"), 0);
    EXPECT_EQ(rig.udp("11.78.0.2", 24, 1, "11.78.0.1"), 1);
    // A bridge has no native XDP: the attach falls back to generic, and stays
    // there when the daemon stops cleanly and starts again.
    ALL_OK("move br0");
    EXPECT_EQ(rig.xdp_on("gw1"), "");
    rig.stop(SIGTERM);
    EXPECT_EQ(rig.exit_status, 0);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.req("status"), "iface br0\nattached 1 xdpgeneric\ngate br0 xdpgeneric\nOK\n");
    // Detached, "move" only changes where the next attach goes.
    ALL_OK("detach", "move gw0");
    EXPECT_EQ(rig.req("status"), "iface gw0\nattached 0 none\nOK\n");
    EXPECT_EQ(rig.xdp_on("gw0"), "");
}

// Every refusal the daemon gives, byte for byte: {request, reply} from the fixture.
static std::vector<std::pair<std::string, std::string>> refusals()
{
    std::vector<std::pair<std::string, std::string>> r;
    std::string t = fixture("moatwalld/fixtures/refusals.txt");
    for (size_t x; (x = t.find("\\x")) != std::string::npos;) t.replace(x, 4, 1, char(std::stoi(t.substr(x + 2, 2), nullptr, 16)));
    for (size_t at = t.find('\n') + 1, tab, nl; (nl = t.find('\n', at)) != std::string::npos; at = nl + 1)
        tab = t.find('\t', at), r.push_back({t.substr(at, tab - at), t.substr(tab + 1, nl - tab - 1)});
    return r;
}

// Refusals of bad requests and of a peer that is not root; only the limits themselves go through.
TEST(GateValidation, EveryRefusalChangesNothing)
{
    START_GATE();
    ASSERT_EQ(rig.req("attach"), "OK\n");
    std::string status = rig.req("status");
    auto all = refusals();
    ASSERT_EQ(all.size(), 43u);
    for (const auto &[request, reply] : all) EXPECT_EQ(rig.req(request), "ERR " + reply + "\n") << request;
    struct stat st;
    ASSERT_EQ(stat(rig.bpf.sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    chmod(rig.bpf.sock.c_str(), 0666);  // only so that nobody reaches the peer check
    pid_t pid = fork();
    if (pid == 0) {  // exits with the number of refusals
        int refused = setgid(65534) == 0 && setuid(65534) == 0 ? 0 : 99;
        for (const char *c : {"status", "detach", "block 11.77.0.0/16", "drop-port 5000", "move gw1", "seed"})
            refused += talk(unix_connect(rig.bpf.sock).fd, c) == "ERR not permitted\n";
        _exit(refused);
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    EXPECT_EQ(WEXITSTATUS(ws), 6);
    EXPECT_TRUE(rig.prefixes().empty());
    EXPECT_TRUE(rig.ports().empty());
    EXPECT_EQ(rig.req("status"), status);
    ALL_OK("drop-port 1", "drop-port 65535", "block 0.0.0.0/0", "block 255.255.255.255/32", "drop-port 00023", "move gw1");
    EXPECT_EQ(rig.ports(), (std::vector<std::string>{"1", "23", "65535"}));
    EXPECT_EQ(rig.prefixes(), (std::vector<std::string>{"0.0.0.0/0", "255.255.255.255/32"}));
}

TEST(GateClients, SilentAndFloodingPeersDoNotDelayOthers)
{
    START_GATE();
    UniqueFd silent = unix_connect(rig.bpf.sock), partial = unix_connect(rig.bpf.sock);
    ASSERT_EQ(write(partial.fd, "sta", 3), 3);
    UniqueFd flood = unix_connect(rig.bpf.sock);  // writes and never reads
    fcntl(flood.fd, F_SETFL, O_NONBLOCK);
    std::string burst;
    while (burst.size() < 4000) burst += "status\n";
    size_t sent = 0;
    for (ssize_t w; (w = write(flood.fd, burst.data(), burst.size())) > 0;) sent += static_cast<size_t>(w);
    EXPECT_GT(sent, 20000u);
    // More idle peers than the daemon keeps: the idlest make room.
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 40; i++) idle.push_back(unix_connect(rig.bpf.sock));
    UniqueFd good = unix_connect(rig.bpf.sock);
    for (int i = 0; i < 20; i++) {
        auto t0 = std::chrono::steady_clock::now();
        std::string r = talk(good.fd, i % 2 ? "status" : "drop-port 99");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(700));
        EXPECT_EQ(r.substr(r.size() < 3 ? 0 : r.size() - 3), "OK\n") << r;
    }
    // Same connection: an over-long line, and the next request still answered.
    EXPECT_EQ(talk(good.fd, std::string(100, 'z')), "ERR line too long (at most 62 characters)\n");
    EXPECT_EQ(talk(good.fd, "undrop-port 99"), "OK\n");
}

// The systemd unit grants only CAP_BPF and CAP_NET_ADMIN; each is needed.
TEST(GateCaps, BoundingSet)
{
    NEED_GATE();
    for (std::string caps : {"bpf,+net_admin", "bpf", "net_admin"}) {
        GateRig rig;
        bool all = caps == "bpf,+net_admin";
        ASSERT_EQ(rig.start("setpriv --no-new-privs --inh-caps=-all --bounding-set=-all,+" + caps), all) << caps;
        EXPECT_EQ(rig.exit_status, all ? -1 : 1) << caps;
        if (all) { ALL_OK("attach", "block 11.77.1.0/24", "move gw1", "detach"); }
    }
}

// Inside "ip netns exec" /sys is fresh and has no bpffs: the daemon mounts one.
TEST(GateMount, MountsBpffsWhenMissing)
{
    START_GATE("", "/sys/fs/bpf/moatwall");
    std::string root = "/proc/" + std::to_string(rig.pid) + "/root/sys/fs/bpf";
    struct statfs sf;
    EXPECT_EQ(statfs(root.c_str(), &sf), 0);
    EXPECT_EQ(static_cast<uint32_t>(sf.f_type), 0xcafe4a11u);
    EXPECT_EQ(access((root + "/moatwall/" MW_MAP_STATS).c_str(), F_OK), 0);
}

TEST(GateUnit, SystemdAcceptsTheUnit)
{
    if (sh("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "systemd-analyze missing";
    // verify wants the ExecStart binary to exist: check a copy pointing at the build.
    // The man page it names is looked up once installed (the package test).
    std::string dir = "/tmp/mwunit_" + std::to_string(getpid());
    sh("mkdir -p " + dir + "; sed 's|^ExecStart=[^ ]*|ExecStart=" MW_DAEMON "|' " MW_UNIT " > " + dir + "/moatwall.service");
    EXPECT_EQ(sh_out("systemd-analyze verify --man=no " + dir + "/moatwall.service 2>&1"), "");
    sh("rm -rf " + dir);
}
