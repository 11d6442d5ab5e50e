// moatwalld and its XDP program on real veth pairs: traffic from the peer
// namespace, the daemon's socket, and the kernel's own view of the gate.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "moatwall/moatwall_contract.h"
#include "support/fixture_rows.hpp"
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

static std::string attached(const std::string &nic, const std::string &mode = "xdpdrv")
{
    return "iface " + nic + "\nattached 1 " + mode + "\ngate " + nic + " " + mode + "\nOK\n";
}

// One rig for the whole table: each row is one frame, the one statistic it must
// land in, which gives its verdict as the veth driver counts it and as the gate
// side sees it.
TEST(GateTraffic, OneVerdictOneStatistic)
{
    START_GATE();
    ALL_OK("attach", "drop-port 23", "block 11.77.1.0/24", "block 203.0.0.0/8", "block 11.80.0.7/32", "block 2a0e:77:1::/48");
    const std::string STAT[MW_STAT_COUNT] = {"pass", "dropsrc", "dropport", "nonip", "malformed"};
    for (const FixtureRow &r : fixture_rows("moatwalld/fixtures/traffic.tsv", 3)) {
        SCOPED_TRACE(r[0]);
        const size_t stat = static_cast<size_t>(std::find(STAT, STAT + MW_STAT_COUNT, r[1]) - STAT);
        const bool drop = stat != MW_STAT_PASS && stat != MW_STAT_NONIP;
        std::vector<uint64_t> stats = rig.stats();
        uint64_t drops = rig.xdp_drops() + drop;
        stats.at(stat)++;
        EXPECT_EQ(rig.raw(r[2]), drop ? 0 : 1);
        EXPECT_EQ(rig.stats(), stats);
        EXPECT_EQ(rig.xdp_drops(), drops);
    }
}

// Killed at each step of a link replacement, the daemon restarts with one gate
// on one NIC, and attach and detach work; each row ends detached on gw0. A
// second daemon on the same pin directory (whatever its socket) or the same
// socket is refused before it touches the gate. The lists and the attachment
// outlive a killed daemon, and a restarted one still changes them.
TEST(GateRestart, SecondDaemonRefusedAndAKillSurvived)
{
    START_GATE();
    for (const FixtureRow &c : fixture_rows("moatwalld/fixtures/crashes.tsv", 4)) {
        SCOPED_TRACE(c[0]);
        if (c[1] != "attach") { ALL_OK("attach"); }
        rig.stop(SIGTERM);
        ASSERT_TRUE(rig.start("env MOATWALLD_TEST_DIE_AT_STEP=" + c[2]));
        EXPECT_EQ(rig.req(c[1]), "");
        rig.stop(SIGKILL);
        ASSERT_TRUE(rig.start());
        const std::string want = c[3] != "none" ? attached(c[3]) : "iface gw0\nattached 0 none\nOK\n";
        // A link that lost its last pin is released by the kernel a moment later.
        std::string got;
        for (int i = 0; i < 40 && (got = rig.req("status")) != want; i++) usleep(50000);
        EXPECT_EQ(got, want);
        ALL_OK("attach", "detach", "move gw0");
        for (const char *dev : {"gw0", "gw1"}) EXPECT_EQ(rig.xdp_id(dev), 0u) << dev;
        EXPECT_EQ(sh("ls " + rig.bpf.pindir + " | grep -q _new"), 1) << "no pin left aside";
    }
    ALL_OK("attach", "drop-port 23", "block 11.77.1.0/24");
    const unsigned id = rig.xdp_id("gw0");
    const std::string other = rig.bpf.dir + "/sock2";
    const std::pair<std::string, std::string> second[] = {
        {rig.daemon_cmd("", "", other), "moatwalld: another moatwalld holds " + rig.bpf.pindir + "\n"},
        {rig.daemon_cmd("", rig.bpf.fs + "/other"), "moatwalld: another moatwalld answers on " + rig.bpf.sock + "\n"},
    };
    for (const auto &[cmd, msg] : second) {
        EXPECT_EQ(sh_out("timeout 10 " + cmd + " 2>&1; echo $?"), msg + "1\n");
        EXPECT_EQ(rig.xdp_id("gw0"), id);
    }
    EXPECT_NE(access(other.c_str(), F_OK), 0);
    rig.stop(SIGKILL);
    // With no daemon at all, the kernel keeps dropping.
    EXPECT_EQ(rig.raw("dport=23"), 0);
    EXPECT_EQ(rig.raw("dport=24"), 1);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.req("status"), attached("gw0"));
    EXPECT_EQ(rig.lists(), "11.77.1.0/24\nport 23\n");
    ALL_OK("unblock 11.77.1.0/24", "undrop-port 23");
    // Seeding skips what covers an address of the NIC, and names it.
    EXPECT_EQ(rig.req("seed"), "skipped fc00::/7: covers fd00:77::1 on gw0\nOK\n");
    EXPECT_EQ(rig.lists(), fixture("moatwalld/fixtures/seeded.txt"));
}

TEST(GateMove, FollowsToTheOtherNicAndFallsBackToGeneric)
{
    START_GATE();
    ALL_OK("attach", "drop-port 23", "block 11.78.0.0/16");
    // A listed prefix covering the new NIC's address is named, and the move
    // goes on; status lists every NIC running the program: gw1 alone.
    EXPECT_EQ(rig.req("move gw1"), "conflict 11.78.0.0/16: covers 11.78.0.1 on gw1\nOK\n");
    EXPECT_EQ(rig.req("status"), attached("gw1"));
    // A bridge has no native XDP: the attach falls back to generic, and stays
    // there when the daemon stops cleanly and starts again.
    ALL_OK("move br0");
    rig.stop(SIGTERM);
    EXPECT_EQ(rig.exit_status, 0);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.req("status"), attached("br0", "xdpgeneric"));
    // Detached, "move" only changes where the next attach goes.
    ALL_OK("detach", "move gw0");
    EXPECT_EQ(rig.req("status"), "iface gw0\nattached 0 none\nOK\n");
    // A bridge port carries the bridge's address.
    ALL_OK("block 11.81.0.0/16");
    EXPECT_EQ(rig.req("move gw2"), "conflict 11.81.0.0/16: covers 11.81.0.1 on br0\nOK\n");
    EXPECT_EQ(rig.req("block 11.81.0.0/17"), "ERR refused 11.81.0.0/17: covers 11.81.0.1 on br0\n");
    // 95 prefixes over gw0's address, listed while the gate is set elsewhere:
    // moving back names them all in one reply that stays whole.
    for (int len = 33; len < 128; len++) ASSERT_EQ(rig.req("block 2a0e:77::/" + std::to_string(len)), "OK\n");
    std::string r = rig.req("move gw0");
    EXPECT_LT(r.size(), 4095u);
    EXPECT_TRUE(r.starts_with("conflict 2a0e:77::/") && r.ends_with(" more\nOK\n")) << r;
    EXPECT_EQ(std::count(r.begin(), r.end(), '\n') - 2 + atoi(r.c_str() + r.find("... and ") + 8), 95) << r;
}

// Every refusal the daemon gives, byte for byte (the fixture: a request, a tab,
// the reply after "ERR "), and the refusals of a peer that is not root; only
// the limits themselves go through.
TEST(GateValidation, EveryRefusalChangesNothing)
{
    START_GATE();
    ASSERT_EQ(rig.req("attach"), "OK\n");
    const std::string status = rig.req("status");
    const std::vector<FixtureRow> rows = fixture_rows("moatwalld/fixtures/refusals.txt", 2);
    for (const FixtureRow &r : rows) EXPECT_EQ(rig.req(r[0]), "ERR " + r[1] + "\n") << r[0];
    EXPECT_EQ(rows.size(), 66u);
    EXPECT_EQ(sh_out("stat -c %a " + rig.bpf.sock), "600\n");
    chmod(rig.bpf.sock.c_str(), 0666);  // only so that nobody reaches the peer check
    for (gid_t gid : {65534u, 0u}) {  // group 0 is no root
        if (fork() == 0) {  // exits with the number of refusals
            int refused = setgid(gid) == 0 && setuid(65534) == 0 ? 0 : 99;
            for (const char *c : {"status", "detach", "block 11.77.0.0/16", "drop-port 5000", "move gw1", "seed"})
                refused += talk(unix_connect(rig.bpf.sock).fd, c) == "ERR not permitted\n";
            _exit(refused);
        }
        int ws = 0;
        wait(&ws);
        EXPECT_EQ(WEXITSTATUS(ws), 6) << "group " << gid;
    }
    EXPECT_EQ(rig.lists(), "");
    EXPECT_EQ(rig.req("status"), status);
    for (const FixtureRow &r : fixture_rows("moatwalld/fixtures/limits.txt", 1)) EXPECT_EQ(rig.req(r[0]), "OK\n") << r[0];
    EXPECT_EQ(rig.lists(), fixture("moatwalld/fixtures/limits_listed.txt"));
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
    // More idle peers than the daemon keeps: the idlest make room, the first silent one first.
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 40; i++) idle.push_back(unix_connect(rig.bpf.sock));
    pollfd hup{silent.fd, POLLIN, 0};
    char byte;
    EXPECT_TRUE(poll(&hup, 1, 2000) == 1 && recv(silent.fd, &byte, 1, 0) == 0) << "the idlest peer is let go";
    EXPECT_EQ(talk(idle.back().fd, "status").substr(0, 6), "iface ") << "the newest peer stays";
    // The flood is served a few lines a turn and waiting peers are let in at
    // once: the others' replies take about 10 ms here, talk allows 700.
    UniqueFd good = unix_connect(rig.bpf.sock);
    for (int i = 0; i < 20; i++) EXPECT_TRUE(talk(good.fd, i % 2 ? "status" : "drop-port 99").ends_with("OK\n")) << i;
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
    const std::string bpf = "/proc/" + std::to_string(rig.pid) + "/root/sys/fs/bpf";
    EXPECT_EQ(sh_out("stat -f -c %T " + bpf + " " + bpf + "/moatwall/" MW_MAP_STATS), "bpf_fs\nbpf_fs\n");
}

TEST(GateUnit, SystemdAcceptsTheUnit)
{
    if (sh("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "systemd-analyze missing";
    // verify wants the ExecStart binary to exist: check a copy pointing at the build.
    // The man page it names is looked up once installed (the package test).
    TempDir t;
    const std::string unit = t.write("moatwall.service", sh_out("sed 's|^ExecStart=[^ ]*|ExecStart=" MW_DAEMON "|' " MW_UNIT));
    EXPECT_EQ(sh_out("systemd-analyze verify --man=no " + unit + " 2>&1"), "");
}

// BIRD on each side of gw0-pr0 holding an OSPF adjacency over 10.33.0.0/30;
// both daemons end with the test, before their namespaces do.
struct OspfPair {
    TempDir t;
    explicit OspfPair(const GateRig &rig)
    {
        for (const auto &[ns, dev, id] : {std::tuple{&rig.gw, "gw0", "10.33.0.1"}, {&rig.peer, "pr0", "10.33.0.2"}}) {
            std::string conf = t.write(dev, fixture(std::string("moatwalld/fixtures/ospf_") + dev + ".conf"));
            ns->run(std::string("ip addr add ") + id + "/30 dev " + dev);
            ns->run("bird -c " + conf + " -s " + conf + ".ctl -P " + conf + ".pid");
        }
    }
    ~OspfPair() { sh("for p in $(cat " + t.path + "/*.pid); do kill $p && timeout 5 tail --pid=$p -f /dev/null; done"); }
    // birdc separates its columns with tabs and blanks.
    std::string full() const { return "birdc -s " + t.path + "/gw0.ctl show ospf neighbors | grep -Eq 'Full.*gw0[[:space:]]+10.33.0.2'"; }
};

// Seeding skips the 10/8 the transit lives in and the adjacency stays Full;
// the same prefix put in the map behind the daemon's back kills it.
TEST(GateSeed, OspfAdjacencyThroughTheGateStaysFull)
{
    if (sh("{ command -v bird && command -v birdc && command -v bpftool; } >/dev/null") != 0) GTEST_SKIP() << "bird2 or bpftool missing";
    START_GATE();
    OspfPair ospf(rig);
    ASSERT_TRUE(wait_for(ospf.full(), 30));
    ALL_OK("attach");
    EXPECT_EQ(rig.req("seed"), "skipped 10.0.0.0/8: covers 10.33.0.1 on gw0\nskipped fc00::/7: covers fd00:77::1 on gw0\nOK\n");
    EXPECT_FALSE(wait_for("! " + ospf.full(), 6)) << "Full through a dead interval and more";
    ASSERT_EQ(sh("bpftool map update pinned " + rig.bpf.pindir + "/" MW_MAP_DROP4 " key 8 0 0 0 10 0 0 0 value 1"), 0);
    EXPECT_TRUE(wait_for("! " + ospf.full(), 8)) << "the twin: the hellos dropped, the adjacency goes";
}
