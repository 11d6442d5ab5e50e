// The gate client against a scripted stand-in daemon: what a real daemon never
// does (split, stalled, dripped, endless, closed, over-long or odd replies)
// must end within one exchange's bound, and the next reply must be its own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>

#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "core/run_tool.hpp"
#include "core/unique_fd.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"
#include "standin_server.hpp"
#include "support/gate_maps.hpp"
#include "support/gate_rig.hpp"
#include "support/launch.hpp"
#include "support/netns.hpp"
#include "support/pty_session.hpp"
#include "support/tmpdir.hpp"

namespace {

double secs_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string rep(const std::string &s, int n) { return n > 0 ? s + rep(s, n - 1) : ""; }
const std::string LINE = std::string(79, 'd') + "\n", SHORT = std::string(11, 'd') + "\n";
const std::string FULL = rep(LINE, 51) + SHORT + "OK\n";  // exactly 4095 bytes
const std::string FULL_FIT = rep(LINE, 6) + SHORT;        // what of it fits a 512-byte reply

// The same bytes in pieces of at most `size`, each some time after the last.
std::vector<Piece> in_pieces(const std::string &s, size_t size, int gap_ms)
{
    std::vector<Piece> v;
    for (size_t i = 0; i < s.size(); i += size) v.push_back({s.substr(i, size), gap_ms});
    return v;
}

struct ClientFixture : ::testing::Test {
    TempDir dir;
    std::string sock = dir.path + "/mw.sock";
    void SetUp() override
    {
        mw_drop_conn();
        g_mw_msg[0] = '\0';
        mw_paths_set(sock.c_str(), "/nonexistent");
    }
    void TearDown() override { mw_drop_conn(); }
};

struct ReqRow {
    const char *name;
    std::vector<Exchange> script;  // the last exchange answers the request under test
    int result;
    const char *reply;  // data lines gathered
    const char *msg;    // message line afterwards
    bool conn_kept;
    int gap_ms = 100;  // between exchanges: a closing or dripping stand-in notices the client left
};
struct ReqCase : ClientFixture, ::testing::WithParamInterface<ReqRow> {};

TEST_P(ReqCase, Exchange)
{
    const ReqRow &row = GetParam();
    StandinServer srv(sock, row.script);
    ASSERT_GE(srv.listen_fd, 0);
    char reply[512];
    int r = 0;
    for (size_t i = 0; i < row.script.size(); i++) {
        if (i > 0) usleep(useconds_t(row.gap_ms) * 1000);
        auto t0 = std::chrono::steady_clock::now();
        r = mw_req("status", reply, sizeof reply);
        EXPECT_LT(secs_since(t0), 1.5) << "exchange " << i << " is bounded as a whole, not per wait";
    }
    EXPECT_EQ(r, row.result);
    EXPECT_STREQ(reply, row.reply);
    EXPECT_STREQ(g_mw_msg, row.msg);
    EXPECT_EQ(g_mwc >= 0, row.conn_kept);
    if (!row.conn_kept) { EXPECT_EQ(g_mw_daemon_ok, 0); }
    if (g_mwc >= 0) { EXPECT_TRUE(fcntl(g_mwc, F_GETFD) & FD_CLOEXEC) << "children must not inherit the socket"; }
}

const ReqRow REQS[] = {
    {"only_ok", {{{{"OK\n"}}}}, 0, "", "", true},
    {"split_across_reads", {{{{"ifa", 0}, {"ce eth1\natt", 50}, {"ached 1 xdp\nO", 50}, {"K\n", 50}}}}, 0, "iface eth1\nattached 1 xdp\n", "", true},
    {"okay_is_ok", {{{{"OKAY then\n"}}}}, 0, "", "", true},
    {"bare_err", {{{{"ERR\n"}}}}, -1, "", "ERR", true},
    {"err_text", {{{{"x\nERR no such prefix\n"}}}}, -1, "x\n", "no such prefix", true},
    {"err_colon", {{{{"ERR: bad\n"}}}}, -1, "", "ERR: bad", true},
    {"err_control_bytes", {{{{"ERR bad\x1b[2J\n"}}}}, -1, "", "bad?[2J", true},
    {"stall_past_wait", {{{{"iface eth1\n", 0}, {"OK\n", 900}}}}, -2, "iface eth1\n", "", false},
    // Each hostile reply ends in time, and the next request gets its own reply.
    {"drip_then_fresh", {{in_pieces(rep("iface eth1\n", 6) + "OK\n", 1, 500)}, {{{"fresh\nOK\n"}}}}, 0, "fresh\n", "", true, 600},
    {"stream_then_fresh", {{in_pieces(rep("d\n", 200), 2, 20)}, {{{"fresh\nOK\n"}}}}, 0, "fresh\n", "", true},
    {"written_after_ok_then_fresh", {{{{"OK\n"}, {"stale\nOK\n", 100}}}, {{{"fresh\nOK\n"}}}}, 0, "fresh\n", "", true, 300},
    {"closed_mid_reply", {{{{"iface eth1\natt"}}, true}}, -2, "iface eth1\n", "", false},
    {"full_buffer_at_once", {{{{FULL}}}}, -2, "", "", false},
    {"same_bytes_in_pieces", {{in_pieces(FULL, 1000, 30)}}, 0, FULL_FIT.c_str(), "", true},
    {"bytes_after_final_line", {{{{"OK\nJUNK\nOK\n"}}}, {{{"fresh\nOK\n", 50}}}}, 0, "fresh\n", "", true},
    {"daemon_went_away_reconnects", {{{{"OK\n"}}, true}, {{{"again\nOK\n"}}}}, 0, "again\n", "", true},
    // Lines that do not fit the caller's buffer are skipped whole; later short ones still land.
    {"long_line_skipped_whole", {{{{std::string(600, 'L') + "\nshort\nOK\n"}}}}, 0, "short\n", "", true},
};
INSTANTIATE_TEST_SUITE_P(Client, ReqCase, ::testing::ValuesIn(REQS), [](const auto &i) { return std::string(i.param.name); });

// Neither a missing daemon, one that never accepts, nor one stuck with a full
// listen backlog may hold the monitor.
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
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(mw_req("status", reply, sizeof reply), -2) << "queued, never accepted";
    EXPECT_LT(secs_since(t0), 1.5);
    for (UniqueFd &f : fill)  // fill the queue until a further connect would wait
        f.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0)), connect(f.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(mw_connect(), -1);
    EXPECT_GE(secs_since(t0), 0.6);
    EXPECT_LT(secs_since(t0), 1.5);
    EXPECT_EQ(g_mwc, -1);
}

// A key typed while a sample waits for the daemon is handed on at once: a
// handler that only repaints leaves the exchange to finish, one that quits
// ends it.
bool g_key_go_on = true;
int g_key_calls = 0;
TEST_F(ClientFixture, KeysAreHandedOnWhileTheDaemonAnswers)
{
    for (const bool go_on : {true, false}) {
        StandinServer srv(sock, {{{{"iface eth1\n", 0}, {"OK\n", 300}}}});
        ASSERT_GE(srv.listen_fd, 0);
        UniqueFd keys[2];
        int p[2];
        ASSERT_EQ(::pipe(p), 0);
        keys[0].reset(p[0]), keys[1].reset(p[1]);
        ASSERT_EQ(::write(p[1], "q", 1), 1);
        g_key_go_on = go_on, g_key_calls = 0;
        tool_watch_keys(p[0], [] {
            char c;
            g_key_calls += ::read(g_tool_key_fd, &c, 1) == 1;
            return g_key_go_on;
        });
        char reply[512];
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(mw_req("status", reply, sizeof reply), go_on ? 0 : -2);
        EXPECT_EQ(g_key_calls, 1);
        EXPECT_LT(secs_since(t0), go_on ? 1.5 : 0.25);
        tool_watch_keys(-1, nullptr);
        tool_sample_end();  // the sample given up is over
        mw_drop_conn();
    }
}

// A cron run of the real monitor against a daemon that drips its reply for
// half a minute: the run ends, shows the daemon down and writes its file.
TEST_F(ClientFixture, OnceRunAgainstDrippingDaemonEndsAndWritesItsFile)
{
    StandinServer srv(sock, 0, [](const std::string &) { return Exchange{in_pieces(rep("iface eth1\n", 6), 1, 500)}; });
    ASSERT_GE(srv.listen_fd, 0);
    const std::string prom = dir.path + "/tw.prom";
    auto t0 = std::chrono::steady_clock::now();
    int rc = sh("TARNWATCH_TEST_MW_SOCK=" + sock + " TARNWATCH_TEST_MW_PINS=" + dir.path + "/nopins timeout 60 " +
                tw_quiet("-1 -M --textfile " + prom + " -w twnone0 -l twnone1 -D -P >/dev/null 2>&1"));
    EXPECT_LT(secs_since(t0), 15) << "the 66 bytes take 33 s to drip";
    EXPECT_EQ(rc, 0);
    EXPECT_NE(sh_out("cat " + prom).find("\ntarnwatch_gate_daemon_up 0\n"), std::string::npos);
}

// The message line after a command that succeeded with notes from the daemon.
TEST(MsgDone, NotesAfterTheSuccessText)
{
    const std::string note = "skipped 10.0.0.0/8: covers 10.33.0.1 on veth0";  // 45 characters
    const std::string four = rep(note + "\n", 4), wide = std::string(200, 'w') + "\n" + note + "\n";
    struct Row {
        const char *reply;
        int skipped;  // lines that did not fit the reply buffer
        std::string msg;
    } rows[] = {
        {four.c_str(), 0, "bogons seeded - " + note + "; " + note + " (+2 more)"},
        {four.c_str(), 4, "bogons seeded - " + note + "; " + note + " (+6 more)"},
        {wide.c_str(), 0, "bogons seeded - " + std::string(159 - 16 - 10, 'w') + " (+1 more)"},
    };
    for (const Row &r : rows) {
        g_mw_nskipped = r.skipped;
        mw_msg_done("bogons seeded", r.reply);
        EXPECT_EQ(g_mw_msg, r.msg) << r.reply;
        EXPECT_LT(std::strlen(g_mw_msg), sizeof g_mw_msg);
    }
    g_mw_nskipped = 0;
}

// Page 4 with no lists to read, no NIC to offer and the daemon up or down: keys
// that find nothing to act on, and q closing a menu, not the monitor; the page
// as the next sample paints it, message kept.
TEST_F(ClientFixture, PageKeysWithNothingToActOn)
{
    TempDir sys;  // no NICs
    const struct {
        const char *keys;
        bool daemon;
        int taken, mode;
        const char *msg, *shown;
    } rows[] = {
        {"x", true, 1, 0, "nothing selected", ">> nothing selected"},
        {"fq", true, 1, 0, "", "tab=pane"},
        {"i", true, 1, 4, "", "(no physical NICs found?)"},
        {"", false, 0, 0, "", "(control offline - service moatwall start; pinned maps still readable below)"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.keys);
        std::unique_ptr<StandinServer> srv;
        if (r.daemon) srv = std::make_unique<StandinServer>(sock, [](const std::string &) { return std::string("OK\n"); });
        fsroot_set(sys.path.c_str());
        g_mw_mode = g_mw_sel = g_mw_msel = g_mw_pane = 0;
        g_mw_msg[0] = '\0';
        sb_clear(&PAGES[3]);
        mw_render();
        int taken = 0;
        for (const char *k = r.keys; *k; k++)
            if ((taken = mw_key(*k))) sb_clear(&PAGES[3]), mw_render_again();
        sb_clear(&PAGES[3]);
        mw_render();
        fsroot_set("");
        EXPECT_EQ(taken, r.taken);
        EXPECT_EQ(g_mw_mode, r.mode);
        EXPECT_STREQ(g_mw_msg, r.msg);
        EXPECT_NE(std::string(PAGES[3].buf).find(r.shown), std::string::npos) << PAGES[3].buf;
        mw_drop_conn();
    }
}

// Samples over maps of the test's own: a statistic's growth is over the interval
// -i gave, and the selection follows a list that shrank under it.
TEST_F(ClientFixture, SamplesOverPinnedMaps)
{
    BpfDir pins;
    if (!pins.mounted) GTEST_SKIP() << "cannot mount a BPF file system (needs root)";
    mw_close_maps();
    mw_paths_set(sock.c_str(), pins.fs.c_str());
    GateMaps m(pins.fs);
    const int32_t interval = g_interval;
    g_interval = 1;
    for (uint64_t total : {10, 15}) {
        m.set_stat(MW_STAT_PASS, total);
        sb_clear(&PAGES[3]);
        mw_collect();
        mw_render();
        ctr_roll();
    }
    g_interval = interval;
    EXPECT_NE(std::string(PAGES[3].buf).find(" 15 (+5/1s)"), std::string::npos) << PAGES[3].buf;
    m.add_prefix("10.0.0.0", 8);
    m.add_prefix("192.168.0.0", 16);
    mw_collect();
    mw_render();
    mw_key('j');  // the last row
    m.add_prefix("192.168.0.0", 16, true);
    sb_clear(&PAGES[3]);
    mw_collect();
    mw_render();
    mw_close_maps();
    EXPECT_EQ(g_mw_sel, 0);
    EXPECT_NE(std::string(PAGES[3].buf).find("> 10.0.0.0/8"), std::string::npos) << PAGES[3].buf;
}

// The real monitor on a terminal, over a /sys/class/net of the test's own with one
// device-backed NIC: choosing it as the WAN in page 4's NIC menu rediscovers at
// the next sample, not after the rediscovery period.
TEST(NicMenu, ChosenWanIsWatchedFromTheNextSample)
{
    if (sh("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "needs root for a mount namespace";
    const std::string script = "mount -t tmpfs none /sys/class/net && mkdir -p /sys/class/net/eth7/device && "
                               "echo up >/sys/class/net/eth7/operstate && exec env TARNWATCH_TEST_MW_SOCK=/nonexistent " +
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

// The gate state after a status exchange, as "daemon_ok iface attached mode ngate last-gate".
struct StatusRow {
    const char *name;
    const char *first;   // reply to a first status exchange (empty: none)
    const char *second;  // reply to the status under test
    const char *state;
};
struct StatusCase : ClientFixture, ::testing::WithParamInterface<StatusRow> {};

TEST_P(StatusCase, State)
{
    const StatusRow &row = GetParam();
    std::snprintf(g_mw_gif, sizeof g_mw_gif, "?");
    std::snprintf(g_mw_attmode, sizeof g_mw_attmode, "-");
    g_mw_att = 0;
    std::vector<Exchange> script;
    if (row.first[0]) script.push_back({{{row.first}}});
    script.push_back({{{row.second}}});
    StandinServer srv(sock, script);
    for (size_t i = 0; i < script.size(); i++) mw_refresh_status();
    char st[128];
    std::snprintf(st, sizeof st, "%d %s %d %s %d %s", g_mw_daemon_ok, g_mw_gif, g_mw_att, g_mw_attmode, g_mw_ngate,
                  g_mw_ngate > 0 ? g_mw_gate[g_mw_ngate - 1] : "-");
    EXPECT_STREQ(st, row.state);
}

const std::string TEN = [] {
    std::string s;
    for (int i = 0; i < 10; i++) s += "gate eth" + std::to_string(i) + " xdpdrv\n";
    return s + "OK\n";
}();
const StatusRow STATUSES[] = {
    {"full", "", "attached 1 xdpdrv\niface enp1s0\ngate enp1s0 xdpdrv\nOK\n", "1 enp1s0 1 xdpdrv 1 enp1s0"},
    {"ten_gates_keep_eight", "", TEN.c_str(), "1 ? 0 - 8 eth7"},
    {"refused_keeps_previous", "iface eth1\nattached 1 xdpgeneric\ngate eth1 x\nOK\n", "ERR busy\n", "1 eth1 1 xdpgeneric 0 -"},
    {"long_words_cut", "", "iface abcdefghijklmnopqrstuvwxyz\nattached 2 modemodemodemodemode\nOK\n", "1 abcdefghijklmno 2 modemodemodemod 0 -"},
    {"gate_needs_two_words", "", "gate eth1\nblah\n\n\nOK\n", "1 ? 0 - 0 -"},
    {"escape_in_name", "", "iface eth\x1b]0;x\nOK\n", "1 eth?]0;x 0 - 0 -"},
    {"unreachable_keeps_previous", "iface eth2\nattached 1 xdpdrv\nOK\n", "iface", "0 eth2 1 xdpdrv 0 -"},
};
INSTANTIATE_TEST_SUITE_P(Client, StatusCase, ::testing::ValuesIn(STATUSES), [](const auto &i) { return std::string(i.param.name); });

}  // namespace
