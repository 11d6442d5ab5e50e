// Page 4's readers. The gate client against a scripted stand-in daemon: what a
// real daemon never does (split, stalled, dripped, endless, closed, over-long or
// odd replies) must end within one exchange's bound, and the next reply must be
// its own. The collect over maps pinned by the test; the CPU count and the NIC
// scan over fixture files.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <memory>
#include <set>

#include "core/fsroot.hpp"
#include "core/run_tool.hpp"
#include "core/screen.hpp"
#include "core/unique_fd.hpp"
#include "export/textfile_export.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"
#include "standin_server.hpp"
#include "support/fixture_rows.hpp"
#include "support/gate_maps.hpp"
#include "support/gate_rig.hpp"
#include "support/launch.hpp"
#include "support/pty_session.hpp"

namespace {

double secs_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// "{N*text}" stands for text N times; the innermost first, so they nest.
std::string expand(std::string s)
{
    for (size_t open; (open = s.rfind('{')) != std::string::npos;) {
        const size_t star = s.find('*', open), close = s.find('}', star);
        std::string text;
        for (int n = std::stoi(s.substr(open + 1)); n > 0; n--) text += s.substr(star + 1, close - star - 1);
        s.replace(open, close + 1 - open, text);
    }
    return s;
}

struct ClientFixture : ::testing::Test {
    TempDir dir;
    std::string sock = dir.path + "/mw.sock";
    void SetUp() override
    {
        mw_drop_conn();
        mw_paths_set(sock.c_str(), "/nonexistent");
        std::snprintf(g_mw_gif, sizeof g_mw_gif, "?");
        std::snprintf(g_mw_attmode, sizeof g_mw_attmode, "-");
        g_mw_att = 0;
        g_mw_daemon_ok = 1;
    }
    void TearDown() override { mw_drop_conn(); }
};

// The rows of tests/gate/fixtures/client_requests.tsv: the stand-in's replies in
// turn, each exchange bounded as a whole; the last one's outcome as "result
// conn/noconn up/down [reply] message", or for a status row the gate state as
// "daemon_ok iface attached mode ngate last-gate". A key typed before the
// exchange is handled by a handler that only repaints (1), leaving the exchange
// to finish, or one that quits (2), ending it.
struct ReqCase : ClientFixture, ::testing::WithParamInterface<FixtureRow> {};

int g_key_calls = 0;
bool g_key_go_on = true;

TEST_P(ReqCase, Exchange)
{
    const FixtureRow &row = GetParam();
    const bool status = row[1] == "status";
    const int key = std::stoi(row[2]);
    std::vector<std::string> script{expand(row[5])};
    if (row[6] != "-") script.push_back(expand(row[6]));
    StandinServer srv(sock, [script, n = size_t(0)](const std::string &) mutable {
        return n < script.size() ? script[n++] : "";
    });
    UniqueFd keys[2];
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    keys[0].reset(p[0]), keys[1].reset(p[1]);
    g_key_go_on = key == 1, g_key_calls = 0;
    if (key)
        tool_watch_keys(p[0], [] {
            char c;
            g_key_calls += ::read(g_tool_key_fd, &c, 1) == 1;
            return g_key_go_on;
        });
    ASSERT_EQ(::write(p[1], "q", 1), 1);
    char reply[512] = "", out[700];
    for (size_t i = 0; i < script.size(); i++) {
        if (i > 0) usleep(useconds_t(std::stoi(row[3])) * 1000);
        auto t0 = std::chrono::steady_clock::now();
        int r = status ? (mw_refresh_status(), 0) : mw_req("status", reply, sizeof reply);
        EXPECT_LT(secs_since(t0), 1.5) << "exchange " << i << " is bounded as a whole, not per wait";
        std::snprintf(out, sizeof out, "%d %s %s [%s] %s", r, g_mwc >= 0 ? "conn" : "noconn",
                      g_mw_daemon_ok ? "up" : "down", reply, g_mw_msg);
    }
    if (status)
        std::snprintf(out, sizeof out, "%d %s %d %s %d %s", g_mw_daemon_ok, g_mw_gif, g_mw_att, g_mw_attmode,
                      g_mw_ngate, g_mw_ngate > 0 ? g_mw_gate[g_mw_ngate - 1] : "-");
    EXPECT_EQ(out, expand(row[4]));
    EXPECT_EQ(g_key_calls, key ? 1 : 0);
    EXPECT_TRUE(g_mwc < 0 || fcntl(g_mwc, F_GETFD) & FD_CLOEXEC) << "children must not inherit the socket";
    tool_watch_keys(-1, nullptr);
    tool_sample_end();  // a sample given up is over
}
INSTANTIATE_TEST_SUITE_P(Client, ReqCase, ::testing::ValuesIn(fixture_rows("gate/fixtures/client_requests.tsv", 7)),
                         [](const auto &i) { return i.param[0]; });

// Neither a missing daemon nor one stuck with a full listen backlog may hold the
// monitor.
TEST_F(ClientFixture, NoDaemonFailsAtOnceAndBacklogAfterTheWait)
{
    char reply[512];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(mw_req("attach", reply, sizeof reply), -2);
    EXPECT_LT(secs_since(t0), 0.1);
    EXPECT_STREQ(reply, "");
    UniqueFd l(socket(AF_UNIX, SOCK_STREAM, 0)), fill[4];
    sockaddr_un sa{AF_UNIX, {}};
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", sock.c_str());
    ASSERT_EQ(bind(l.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(l.fd, 0), 0);
    for (UniqueFd &f : fill) {  // fill the queue until a further connect would wait
        f.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(f.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(mw_connect(), -1);
    EXPECT_GE(secs_since(t0), 0.6);
    EXPECT_LT(secs_since(t0), 1.5);
    EXPECT_EQ(g_mwc, -1);
}

// The real monitor on a terminal, over a /sys/class/net of the test's own with one
// device-backed NIC: choosing it as the WAN in page 4's NIC menu rediscovers at
// the next sample, not after the rediscovery period.
TEST(NicMenu, ChosenWanIsWatchedFromTheNextSample)
{
    if (sh("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "needs root for a mount namespace";
    const std::string script = "mount -t tmpfs none /sys/class/net && mkdir -p /sys/class/net/eth7/device && "
                               "echo up >/sys/class/net/eth7/operstate && "
                               "exec env TARNWATCH_TEST_MW_SOCK=/nonexistent " +
                               tw_quiet("-i 1 -r 600 -M -D -w none0 -l none1");
    PtySession s;
    ASSERT_TRUE(s.start({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script.c_str()}));
    ASSERT_TRUE(s.read_until("=== UDP underlay ===", 5)) << s.out;
    s.write("4i\rj\r");
    ASSERT_TRUE(s.read_until("tarnwatch WAN -> eth7 (rediscovering)", 5)) << s.out.substr(s.sent_at);
    s.write("2");
    EXPECT_TRUE(s.read_until("=== eth7 ===", 4)) << s.out.substr(s.sent_at);
    s.write("q");
}

// The collect over maps pinned by the test, twice: the model it leaves, as
// "readable totals | prefixes held/all first..last | ports held/all", and one
// status exchange each time. A pin of the right name but another layout, or a
// failed lookup, must never be read past.
struct MapsRow {
    const char *name;
    uint32_t stat_entries, stat_value;  // the statistics map's layout; 0 entries: no pins at all
    int v4, v6, ports;
    const char *model;
};
struct Maps : ClientFixture, ::testing::WithParamInterface<MapsRow> {};

TEST_P(Maps, Collect)
{
    const MapsRow &row = GetParam();
    BpfDir pins;
    if (!pins.mounted) GTEST_SKIP() << "cannot mount a BPF file system (needs root)";
    mw_paths_set(sock.c_str(), pins.fs.c_str());
    GateMaps m(pins.fs, row.stat_entries, row.stat_value);
    for (uint32_t key = 0; key < row.stat_entries; key++) m.set_stat(key, uint64_t(key) << 32 | (key + 1));
    for (int i = 0; i < row.v4; i++)
        m.add_prefix("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250), 32);
    for (int i = 0; i < row.v6; i++) m.add_prefix("2001:db8:" + std::to_string(i) + "::", 48);
    for (int i = 0; i < row.ports; i++) m.add_port(static_cast<uint16_t>(1000 + i));
    std::unique_ptr<StandinServer> srv;  // none with no pins either: no trace of a gate at all
    if (row.stat_entries) srv = std::make_unique<StandinServer>(sock, [](const std::string &) { return "OK\n"; });
    for (size_t sample = 1; sample <= 2; sample++) {
        mw_collect();
        std::string model = std::to_string(g_mw_stats.readable);
        for (uint64_t t : g_mw_stats.total) model += " " + std::to_string(g_mw_stats.readable ? t : 0);
        char first[64] = "-", last[64] = "-";
        if (g_mw_npfx) mw_prefix_text(g_mw_pfx[0], first, sizeof first);
        if (g_mw_npfx) mw_prefix_text(g_mw_pfx[g_mw_npfx - 1], last, sizeof last);
        model += " | " + std::to_string(g_mw_npfx) + "/" + std::to_string(g_mw_npfx_all) + " " + first + ".." + last +
                 " | " + std::to_string(g_mw_nport) + "/" + std::to_string(g_mw_nport_all);
        EXPECT_EQ(model, row.model) << "sample " << sample;
        EXPECT_EQ(srv ? srv->received().size() : sample, sample);
    }
    StrBuf out{};
    sb_init(&out, 1024);
    tf_build(&out, nullptr, 0);  // the export counts every key too, when the statistics are readable
    const std::string up = "\ntarnwatch_gate_daemon_up " + std::to_string(g_mw_daemon_ok) + "\n";
    const std::string prefixes = "\ntarnwatch_gate_drop_prefixes " + std::to_string(g_mw_npfx_all) + "\n";
    const std::string ports = "\ntarnwatch_gate_drop_ports " + std::to_string(g_mw_nport_all) + "\n";
    EXPECT_NE(std::string(out.buf).find(up), std::string::npos) << out.buf;
    EXPECT_EQ(std::string(out.buf).find(prefixes) != std::string::npos, g_mw_stats.readable) << out.buf;
    EXPECT_EQ(std::string(out.buf).find(ports) != std::string::npos, g_mw_stats.readable) << out.buf;
    std::free(out.buf);
    mw_close_maps();
}

const MapsRow MAPS[] = {
    // IPv4 rows first; the export and the headers count every key.
    {"counts_beyond_the_rows", 5, 8, 290, 10, 100,
     "1 1 12884901892 4294967298 8589934595 17179869189 | 256/300 10.1.0.0/32..10.1.1.5/32 | 64/100"},
    {"missing_key_closes_every_map", 4, 8, 1, 1, 1, "0 0 0 0 0 0 | 0/0 -..- | 0/0"},
    {"wide_values_refused_lists_stand", 5, 64, 1, 1, 1, "0 0 0 0 0 0 | 2/2 10.1.0.0/32..2001:db8::/48 | 1/1"},
    {"no_pins", 0, 8, 0, 0, 0, "0 0 0 0 0 0 | 0/0 -..- | 0/0"},
};
INSTANTIATE_TEST_SUITE_P(Gate, Maps, ::testing::ValuesIn(MAPS), [](const auto &i) { return i.param.name; });

// The possible-CPU list as the kernel writes it; anything odd falls back to the configured count.
TEST(CpuCount, FromPossibleFile)
{
    const long conf = sysconf(_SC_NPROCESSORS_CONF);
    const std::pair<const char *, long> rows[] = {
        {"0-7\n", 8}, {"0\n", 1},       {"0-3,8-11\n", 8}, {"0,2,4-5\n", 4},          {nullptr, conf},
        {"cpus\n", conf}, {"7-0\n", conf}, {"9-8,0-7\n", conf}, {"0-3,\n", conf},    {"0-99999999\n", conf},
    };
    for (const auto &[file, count] : rows) {
        TempDir root;
        if (file) root.write("sys/devices/system/cpu/possible", file);
        fsroot_set(root.path.c_str());
        g_mw_ncpu = 0;
        EXPECT_EQ(mw_cpu_count(), count) << (file ? file : "no file");
    }
    g_mw_ncpu = 0;
}

// The NIC menu's scan of /sys: device-backed interfaces with names the kernel
// would give, outside text made safe, at most sixteen.
TEST(NicScan, DeviceBackedOnly)
{
    TempDir sys;
    auto nic = [&](const std::string &name, const std::string &driver, const char *state, const char *speed) {
        const std::string d = "sys/class/net/" + name;
        sys.write(d + "/operstate", state);
        if (speed) sys.write(d + "/speed", speed);
        if (!driver.empty())  // the link is only read, not followed
            symlink(("../../../bus/pci/drivers/" + driver).c_str(), (sys.mkdir(d + "/device") + "/driver").c_str());
    };
    nic("eth0", "ixgbe", "up\n", "10000\n");
    nic("eth1", "igb", "down\n", nullptr);
    nic("br0", "", "up\n", nullptr);  // a bridge: no device link
    nic("odd\x1b[2J", "e1000", "up\n", "1000\n");
    nic("eth2", "weird\x1b[31m", "up\x1b\n", "-1\n");
    fsroot_set(sys.path.c_str());
    g_mw_ngate = 1;
    std::snprintf(g_mw_gate[0], sizeof g_mw_gate[0], "eth0");
    mw_scan_nics();
    std::set<std::string> seen;
    for (const MwNic &n : std::vector<MwNic>(g_mw_nic, g_mw_nic + g_mw_nnic))
        seen.insert(std::string(n.name) + " " + n.driver + " " + n.state + " " + std::to_string(n.speed) + " " +
                    std::to_string(n.in_gate));
    EXPECT_EQ(seen, (std::set<std::string>{"eth0 ixgbe up 10000 1", "eth1 igb down -1 0", "eth2 weird?[31m up? -1 0"}));
    for (int i = 3; i < 20; i++) nic("eth" + std::to_string(i), "ixgbe", "up\n", "1000\n");
    mw_scan_nics();
    EXPECT_EQ(g_mw_nnic, 16);
}

}  // namespace
