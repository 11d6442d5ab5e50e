// Page 4 built from its model alone: the gate's status, the statistics, the
// lists and the NIC menu are set here as a collect leaves them, and whole pages
// compared with the fixtures. Keys that command the gate talk to an in-process
// stand-in daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/keys.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"
#include "standin_server.hpp"
#include "support/fixture_rows.hpp"
#include "support/tmpdir.hpp"

namespace {

MwPrefix pfx(const char *text, uint32_t len)
{
    MwPrefix p{std::strchr(text, ':') ? AF_INET6 : AF_INET, len, {}};
    inet_pton(p.family, text, p.addr);
    return p;
}

const std::string NOTE = "skipped 10.0.0.0/8: covers 10.33.0.1 on eth0\n";

std::string respond(const std::string &req)
{
    if (req == "status") return "iface eth0\nattached 1 xdpdrv\ngate eth0 xdpdrv\nOK\n";
    // Notes after success: two fit the message line, then one more and one too long for the reply buffer.
    if (req == "seed") return NOTE + NOTE + std::string(600, 'L') + "\n" + NOTE + "OK\n";
    if (req == "attach") return std::string(200, 'w') + "\n" + NOTE + "OK\n";  // a first note cut to the line
    return req == "block " ? "ERR expected a.b.c.d/len\n" : "OK\n";
}

struct Page4 : ::testing::Test {
    TempDir dir;  // the daemon's socket, no pins, and a /sys without NICs
    void SetUp() override
    {
        mw_paths_set((dir.path + "/mw.sock").c_str(), (dir.path + "/pins").c_str());
        fsroot_set(dir.path.c_str());
        mw_drop_conn();
        g_mw_daemon_ok = g_mw_att = g_mw_ngate = 1;
        std::snprintf(g_mw_gif, sizeof g_mw_gif, "eth0");
        std::snprintf(g_mw_attmode, sizeof g_mw_attmode, "xdpdrv");
        std::snprintf(g_mw_gate[0], sizeof g_mw_gate[0], "eth0");
        g_mw_stats = MwStats{false, true, {10, 7, 10, 1, 0}, {}};
        const MwPrefix list[] = {pfx("10.0.0.0", 8), pfx("192.168.0.0", 16),
                                 pfx("2001:db8:aaaa:bbbb:cccc:dddd:eeee:fff0", 124)};
        std::copy(std::begin(list), std::end(list), g_mw_pfx);
        g_mw_npfx = g_mw_npfx_all = 3;
        g_mw_port[0] = 23, g_mw_port[1] = 8080;
        g_mw_nport = g_mw_nport_all = 2;
        g_mw_nic[0] = MwNic{"eth0", "ixgbe", "up", 10000, 1};
        g_mw_nic[1] = MwNic{"eth1", "weird?[31m", "down", -1, 0};
        g_mw_nnic = 2;
        g_wan = "eth1", g_lan = "lan0";
        g_mw_inlen = g_mw_force_redisc = 0;
        g_mw_in[0] = '\0';
    }
    void TearDown() override { mw_drop_conn(); }
    // One sample as the main loop has it: the page built, then the counters rolled.
    void sample()
    {
        sb_clear(&PAGES[3]);
        alerts_clear();
        mw_render();
        ctr_roll();
    }
    // Keys as the terminal sends them, until the next sample, the page built again
    // after each one taken; what mw_key answered for the last.
    int press(const std::string &bytes)
    {
        int taken = 0;
        keys_split(reinterpret_cast<const unsigned char *>(bytes.data()), long(bytes.size()), [&](int k) {
            const bool takes = mw_takes_key(k);
            if ((taken = mw_key(k))) sb_clear(&PAGES[3]), mw_render_again();
            EXPECT_EQ(takes, taken != 0) << "asked before key " << k;
            return true;
        });
        return taken;
    }
};

// The page, in colour, after two samples (the second with the row's model) and
// the keys, against tests/gate/fixtures/page4_<row>.txt.
struct PageRow {
    const char *name;
    void (*model)();
    const char *keys;
    const char *alert = "";
};
struct Render : Page4, ::testing::WithParamInterface<PageRow> {};

TEST_P(Render, WholePage)
{
    colors_set(true);
    sample();
    EXPECT_EQ(std::string(PAGES[3].buf).find("(+"), std::string::npos) << "a first sight shows no growth";
    GetParam().model();
    sample();
    press(GetParam().keys);
    EXPECT_EQ(PAGES[3].buf, fixture("gate/fixtures/page4_" + std::string(GetParam().name) + ".txt"));
    EXPECT_STREQ(ALERTS.buf, GetParam().alert) << "raised by the sample, not again by a re-render";
}

const PageRow PAGES_SHOWN[] = {
    // The growth is over the interval given, and a key's re-render shows it as the sample did.
    {"growth_survives_a_key",
     [] {
         const uint64_t totals[] = {15, 7, 5, 0x100000001, 3};
         std::copy(std::begin(totals), std::end(totals), g_mw_stats.total);
         g_interval = 5;
     },
     "jjjjj", "moatwall malformed +3"},
    {"down_unreadable_lists_cut_ports_pane",
     [] {
         g_mw_daemon_ok = g_mw_nport = g_mw_nport_all = 0, g_mw_stats.readable = false;
         g_mw_npfx = 1, g_mw_npfx_all = 300;
     },
     "\tx"},
    {"not_attached_lists_empty", [] { g_mw_att = g_mw_npfx = g_mw_npfx_all = 0, g_mw_nport_all = 64; }, ""},
    {"generic_mode_prompt", [] { std::snprintf(g_mw_attmode, sizeof g_mw_attmode, "xdpgeneric"); }, "a1:"},
    {"custom_port_prompt", [] {}, "fjjjjjjj\r8:0"},
    {"port_menu", [] {}, "fj"},
    {"nic_list", [] { g_mw_mode = 4, g_lan = "eth0"; }, "j"},
    {"nic_actions", [] { g_mw_mode = 4; }, "\rjjjj"},
    {"no_nics", [] { g_mw_mode = 4, g_mw_nnic = 0; }, ""},
};
INSTANTIATE_TEST_SUITE_P(Page, Render, ::testing::ValuesIn(PAGES_SHOWN), [](const auto &i) { return i.param.name; });

// What keys leave in the model, and every request the stand-in daemon saw (keys
// that only move ask nothing): the rows of tests/gate/fixtures/page4_keys.tsv.
struct Keys : Page4, ::testing::WithParamInterface<FixtureRow> {};

TEST_P(Keys, Drive)
{
    const FixtureRow &row = GetParam();
    std::unique_ptr<StandinServer> srv;
    if (row[3] == "1") srv = std::make_unique<StandinServer>(dir.path + "/mw.sock", respond);
    g_mw_daemon_ok = row[3] == "1";  // as the sample's status exchange left it
    sample();
    g_mw_mode = std::stoi(row[2]);
    EXPECT_EQ(press(row[1]), std::stoi(row[4]));
    char st[160];
    std::snprintf(st, sizeof st, "%d %d/%d %d [%s] %d %s/%s %d", g_mw_mode, g_mw_pane, g_mw_sel, g_mw_msel, g_mw_in,
                  g_mw_daemon_ok, g_wan, g_lan, g_mw_force_redisc);
    EXPECT_EQ(st, row[5]);
    EXPECT_EQ(g_mw_msg, row[6]);
    std::string seen;
    for (const std::string &req : srv ? srv->received() : std::vector<std::string>{}) seen += "|" + req;
    EXPECT_EQ(seen.empty() ? "-" : seen.substr(1), row[7]);
}
INSTANTIATE_TEST_SUITE_P(Page, Keys, ::testing::ValuesIn(fixture_rows("gate/fixtures/page4_keys.tsv", 8)),
                         [](const auto &i) { return i.param[0]; });

}  // namespace
