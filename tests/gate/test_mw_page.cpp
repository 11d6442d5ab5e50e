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
#include "support/tmpdir.hpp"

namespace {

MwPrefix pfx(const char *text, uint32_t len)
{
    MwPrefix p{std::strchr(text, ':') ? AF_INET6 : AF_INET, len, {}};
    inet_pton(p.family, text, p.addr);
    return p;
}

std::vector<int> K(const std::string &s, std::vector<int> tail = {})  // bytes, then key codes
{
    tail.insert(tail.begin(), s.begin(), s.end());
    return tail;
}

std::string respond(const std::string &req)
{
    if (req == "status") return "iface eth0\nattached 1 xdpdrv\ngate eth0 xdpdrv\nOK\n";
    if (req == "seed") return "skipped 10.0.0.0/8: covers 10.33.0.1 on eth0\nOK\n";
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
    // Keys until the next sample, the page built again after each one taken;
    // what mw_key answered for the last.
    int press(const std::vector<int> &keys)
    {
        int taken = 0;
        for (int k : keys) {
            const bool takes = mw_takes_key(k);
            if ((taken = mw_key(k))) sb_clear(&PAGES[3]), mw_render_again();
            EXPECT_EQ(takes, taken != 0) << "asked before key " << k;
        }
        return taken;
    }
};

// The page, in colour, after two samples (the second with the row's model) and
// the keys, against tests/gate/fixtures/page4_<row>.txt.
struct PageRow {
    const char *name;
    void (*model)();
    std::vector<int> keys;
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
     K("jjjjj"), "moatwall malformed +3"},
    {"down_unreadable_lists_cut_ports_pane",
     [] {
         g_mw_daemon_ok = g_mw_nport = g_mw_nport_all = 0, g_mw_stats.readable = false;
         g_mw_npfx = 1, g_mw_npfx_all = 300;
     },
     K("\tx")},
    {"not_attached_lists_empty", [] { g_mw_att = g_mw_npfx = g_mw_npfx_all = 0, g_mw_nport_all = 64; }, {}},
    {"generic_mode_prompt", [] { std::snprintf(g_mw_attmode, sizeof g_mw_attmode, "xdpgeneric"); }, K("a1:")},
    {"custom_port_prompt", [] {}, K("fjjjjjjj\r8:0")},
    {"port_menu", [] {}, K("fj")},
    {"nic_list", [] { g_mw_mode = 4, g_lan = "eth0"; }, K("j")},
    {"nic_actions", [] { g_mw_mode = 4; }, K("\rjjjj")},
    {"no_nics", [] { g_mw_mode = 4, g_mw_nnic = 0; }, {}},
};
INSTANTIATE_TEST_SUITE_P(Page, Render, ::testing::ValuesIn(PAGES_SHOWN), [](const auto &i) { return i.param.name; });

// What keys leave in the model: "mode pane/sel menu-sel [typed] daemon_ok wan/lan rediscover: message",
// and every request the stand-in daemon saw (keys that only move ask nothing).
struct KeyRow {
    const char *name;
    std::vector<int> keys;
    int taken;  // mw_key's answer to the last key
    std::string state;
    std::vector<std::string> requests;
    bool daemon = true;
    int mode = 0;  // the menu open before the keys
};
struct Keys : Page4, ::testing::WithParamInterface<KeyRow> {};

TEST_P(Keys, Drive)
{
    const KeyRow &row = GetParam();
    std::unique_ptr<StandinServer> srv;
    if (row.daemon) srv = std::make_unique<StandinServer>(dir.path + "/mw.sock", respond);
    g_mw_daemon_ok = row.daemon;  // as the sample's status exchange left it
    sample();
    g_mw_mode = row.mode;
    EXPECT_EQ(press(row.keys), row.taken);
    char st[320];
    std::snprintf(st, sizeof st, "%d %d/%d %d [%s] %d %s/%s %d: %s", g_mw_mode, g_mw_pane, g_mw_sel, g_mw_msel, g_mw_in,
                  g_mw_daemon_ok, g_wan, g_lan, g_mw_force_redisc, g_mw_msg);
    EXPECT_EQ(st, row.state);
    EXPECT_EQ(srv ? srv->received() : std::vector<std::string>{}, row.requests);
}

const std::string IPV6 = "2001:db8:aaaa:bbbb:cccc:dddd:eeee:fff0/124", UP_NO_WAN = " 1 eth1/lan0 0: ";
const std::string DOWN = "moatwalld unreachable - service moatwall start";
const std::vector<std::string> NONE;
const KeyRow KEYS[] = {
    {"q_ignored_in_prompt", K("a1q"), 1, "1 0/0 0 [1]" + UP_NO_WAN, NONE},
    {"j_past_end_rests_on_last", K("jjjjj"), 1, "0 0/2 0 []" + UP_NO_WAN, NONE},
    {"k_stops_at_top", K("jkk"), 1, "0 0/0 0 []" + UP_NO_WAN, NONE},
    {"tab_first_row_other_pane", K("j\t"), 1, "0 1/0 0 []" + UP_NO_WAN, NONE},
    {"forty_eighth_char", K("a" + std::string(48, '7')), 1, "1 0/0 0 [" + std::string(47, '7') + "]" + UP_NO_WAN, NONE},
    {"only_prefix_chars_typed", K("a1x.bGq:F/"), 1, "1 0/0 0 [1.b:F/]" + UP_NO_WAN, NONE},
    {"backspace_on_empty_then_del", {'a', 8, '1', '2', 127, 8, '3'}, 1, "1 0/0 0 [3]" + UP_NO_WAN, NONE},
    {"other_sequence_acts_as_escape", K("a1", {KEY_SEQ + 'H'}), 1, "0 0/0 0 []" + UP_NO_WAN, NONE},
    {"arrows_ignored_while_typing", K("a1", {KEY_UP, KEY_RIGHT}), 1, "1 0/0 0 [1]" + UP_NO_WAN, NONE},
    {"ipv6_block", K("a2001:DB8::/32\r"), 1, "0 0/0 0 []" + UP_NO_WAN + "dropping src 2001:DB8::/32 at XDP",
     {"block 2001:DB8::/32", "status"}},
    {"block_empty_refused", K("a\n"), 1, "0 0/0 0 []" + UP_NO_WAN + "expected a.b.c.d/len", {"block ", "status"}},
    {"menu_down_arrow", K("f", {KEY_DOWN, '\r'}), 1, "0 0/0 1 []" + UP_NO_WAN + "dropping WAN dport 445 at XDP",
     {"drop-port 445", "status"}},
    {"menu_stops_at_last_q_closes", K("fjjjjjjjjjjq"), 1, "0 0/0 7 []" + UP_NO_WAN, NONE},
    {"custom_port_wraps_32_bits", K("fjjjjjjj\r4294967319\r"), 1,
     "0 0/0 7 []" + UP_NO_WAN + "dropping WAN dport 23 at XDP", {"drop-port 23", "status"}},
    {"custom_port_stops_at_dot", K("fjjjjjjj\r80.5\r"), 1, "0 0/0 7 []" + UP_NO_WAN + "dropping WAN dport 80 at XDP",
     {"drop-port 80", "status"}},
    {"x_on_ipv6_prefix", K("jjx"), 1, "0 0/0 0 []" + UP_NO_WAN + "unblocked " + IPV6, {"unblock " + IPV6, "status"}},
    {"x_on_port", K("\tx"), 1, "0 1/0 0 []" + UP_NO_WAN + "no longer dropping dport 23", {"undrop-port 23", "status"}},
    // The lists are read again after a command: here from no pins at all.
    {"x_on_emptied_list", K("Dx"), 1, "0 0/0 0 []" + UP_NO_WAN + "nothing selected", {"detach", "status"}},
    {"seed_notes_after_success", K("R"), 1,
     "0 0/0 0 []" + UP_NO_WAN + "bogons seeded - skipped 10.0.0.0/8: covers 10.33.0.1 on eth0", {"seed", "status"}},
    {"attach", K("A"), 1, "0 0/0 0 []" + UP_NO_WAN + "attached", {"attach", "status"}},
    {"global_keys_left_alone", {'2', 'n', 'q', 'b', KEY_RIGHT, KEY_ESC}, 0, "0 0/0 0 []" + UP_NO_WAN, NONE},
    {"i_scans_no_nics_enter_closes", K("i\r"), 1, "0 0/0 0 []" + UP_NO_WAN, {"status"}},
    {"nic_actions_stop_at_cancel", K("j\rjjjjjjjj"), 1, "5 0/0 3 []" + UP_NO_WAN, NONE, true, 4},
    {"nic_move", K("\r\r"), 1, "0 0/0 0 []" + UP_NO_WAN + "gate moved to eth0", {"move eth0", "status"}, true, 4},
    {"nic_set_wan", K("\rj\r"), 1, "0 0/0 1 [] 1 eth0/lan0 1: tarnwatch WAN -> eth0 (rediscovering)", NONE, true, 4},
    {"nic_set_lan", K("j\rjj\r"), 1, "0 0/0 2 [] 1 eth1/eth1 1: tarnwatch LAN -> eth1 (rediscovering)", NONE, true, 4},
    {"nic_cancel", K("\rjjjjj\r"), 1, "0 0/0 3 []" + UP_NO_WAN, NONE, true, 4},
    {"nic_escape", K("\r", {KEY_ESC}), 1, "0 0/0 0 []" + UP_NO_WAN, NONE, true, 4},
    // With nothing listening every command ends in the one message.
    {"down_attach", K("A"), 1, "0 0/0 0 [] 0 eth1/lan0 0: " + DOWN, NONE, false},
    {"down_unblock", K("x"), 1, "0 0/0 0 [] 0 eth1/lan0 0: " + DOWN, NONE, false},
};
INSTANTIATE_TEST_SUITE_P(Page, Keys, ::testing::ValuesIn(KEYS), [](const auto &i) { return i.param.name; });

}  // namespace
