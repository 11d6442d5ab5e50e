// Page 4's keys, modes and commands against a stand-in daemon and real pinned
// maps; the NIC menu against a fixture /sys/class/net.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "bpf_fixture.hpp"
#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/keys.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"
#include "standin_server.hpp"

namespace {

const char *const STATUS = "iface eth0\nattached 1 xdpdrv\ngate eth0 xdpdrv\nOK\n";

std::string respond(const std::string &req)
{
    if (req == "status") return STATUS;
    if (req == "drop-port 0") return "ERR port 0 out of range\n";
    if (req == "block ") return "ERR expected a.b.c.d/len\n";
    return "OK\n";
}

struct PageFixture : ::testing::Test {
    BpfPinDir pins;
    TempDir sysroot;
    std::string sock = pins.tmp.path + "/mw.sock";
    void SetUp() override
    {
        if (pins.path.empty()) GTEST_SKIP() << "cannot mount a BPF file system (needs root)";
        buffers_setup();
        settings_defaults();
        colors_set(false);
        mw_drop_conn();
        mw_close_maps();
        mw_paths_set(sock.c_str(), pins.path.c_str());
        g_mw_pane = g_mw_sel = g_mw_msel = g_mw_mode = g_mw_inlen = g_mw_force_redisc = 0;
        g_mw_in[0] = g_mw_msg[0] = '\0';
        fsroot_set(sysroot.path.c_str());
    }
    void TearDown() override
    {
        fsroot_set("");
        mw_close_maps();
        mw_drop_conn();
    }
    // Renders as a sample does, then hands the keys over as the main loop does;
    // returns what mw_key answered for the last key.
    int press(const std::vector<int> &keys)
    {
        sb_clear(&PAGES[3]);
        mw_render();
        int taken = 0;
        for (int k : keys) {
            taken = mw_key(k);
            if (taken) {
                sb_clear(&PAGES[3]);
                mw_render();
            }
        }
        return taken;
    }
    void nic(const std::string &name, const char *driver, const char *state, const char *speed) const
    {
        std::string d = "sys/class/net/" + name;
        sysroot.mkdir(d);
        if (driver) {
            sysroot.mkdir("sys/bus/pci/drivers/" + std::string(driver));
            sysroot.mkdir(d + "/devdir");
            symlink("devdir", (sysroot.path + "/" + d + "/device").c_str());
            symlink(("../../../../bus/pci/drivers/" + std::string(driver)).c_str(),
                    (sysroot.path + "/" + d + "/devdir/driver").c_str());
        }
        if (state) sysroot.write(d + "/operstate", state);
        if (speed) sysroot.write(d + "/speed", speed);
    }
};

std::vector<int> text(const std::string &s)
{
    return std::vector<int>(s.begin(), s.end());
}
std::vector<int> operator+(std::vector<int> a, const std::vector<int> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct KeyRow {
    const char *name;
    std::vector<int> keys;
    int taken;            // mw_key's answer to the last key
    int mode;             // afterwards
    const char *command;  // the one request besides "status", "" when none
    const char *msg;
    const char *shown;  // on the page afterwards
    bool empty_maps = false;
};

struct Keys : PageFixture, ::testing::WithParamInterface<KeyRow> {};

TEST_P(Keys, Drive)
{
    const KeyRow &row = GetParam();
    GateMaps m(pins.path);
    if (!row.empty_maps) {
        m.add_prefix("10.0.0.0", 8);
        m.add_prefix("192.168.0.0", 16);
        m.add_port(23);
    }
    StandinServer srv(sock, respond);
    EXPECT_EQ(press(row.keys), row.taken);
    EXPECT_EQ(g_mw_mode, row.mode);
    EXPECT_STREQ(g_mw_msg, row.msg);
    std::vector<std::string> cmds;
    for (const std::string &r : srv.received())
        if (r != "status") cmds.push_back(r);
    if (row.command[0]) {
        EXPECT_EQ(cmds, std::vector<std::string>{row.command});
    } else {
        EXPECT_TRUE(cmds.empty()) << cmds[0];
    }
    EXPECT_NE(std::string(PAGES[3].buf).find(row.shown), std::string::npos) << PAGES[3].buf;
}

const int ESC = KEY_ESC;
const std::string SEVEN47 = ": " + std::string(47, '7') + "_   (";
INSTANTIATE_TEST_SUITE_P(
    Page, Keys,
    ::testing::Values(
        KeyRow{"one_types_in_prompt", text("a1"), 1, 1, "", "", "block prefix (a.b.c.d/len): 1_   (enter=ok esc=cancel)"},
        KeyRow{"q_ignored_in_prompt", text("a1q"), 1, 1, "", "", "block prefix (a.b.c.d/len): 1_"},
        KeyRow{"q_closes_menu", text("fq"), 1, 0, "", "", "tab=pane"},
        KeyRow{"j_past_end", text("jjjjj"), 1, 0, "", "", "> 192.168.0.0/16"},
        KeyRow{"k_stops_at_top", text("jkk"), 1, 0, "", "", "> 10.0.0.0/8"},
        KeyRow{"tab_first_row_other_pane", text("j\t"), 1, 0, "", "", "> 23 telnet scan"},
        KeyRow{"forty_eighth_char", text("a") + text(std::string(48, '7')), 1, 1, "", "",
               SEVEN47.c_str()},
        KeyRow{"letters_not_typed", text("a1x.b/"), 1, 1, "", "", ": 1./_"},
        KeyRow{"backspace_on_empty", {'a', 127, 8}, 1, 1, "", "", "(a.b.c.d/len): _"},
        KeyRow{"escape_discards", text("a12") + std::vector<int>{ESC}, 1, 0, "", "", "tab=pane"},
        KeyRow{"other_sequence_acts_as_escape", text("a1") + std::vector<int>{KEY_SEQ + 'H'}, 1, 0, "", "", "tab=pane"},
        KeyRow{"arrows_ignored_while_typing", text("a1") + std::vector<int>{KEY_UP, KEY_RIGHT}, 1, 1, "", "", ": 1_"},
        KeyRow{"block_prefix", text("a1.2.3.0/24\r"), 1, 0, "block 1.2.3.0/24", "dropping src 1.2.3.0/24 at XDP",
               ">> dropping src 1.2.3.0/24 at XDP"},
        KeyRow{"block_empty_refused", text("a\n"), 1, 0, "block ", "expected a.b.c.d/len", ">> expected a.b.c.d/len"},
        KeyRow{"telnet_row", text("f\r"), 1, 0, "drop-port 23", "dropping WAN dport 23 at XDP", "dropping WAN dport 23"},
        KeyRow{"menu_down_arrow", text("f") + std::vector<int>{KEY_DOWN, '\r'}, 1, 0, "drop-port 445",
               "dropping WAN dport 445 at XDP", ""},
        KeyRow{"menu_stops_at_last", text("fjjjjjjjjjj"), 1, 3, "", "", "> custom port..."},
        KeyRow{"custom_port_zero", text("fjjjjjjj\r\r"), 1, 0, "drop-port 0", "port 0 out of range",
               ">> port 0 out of range"},
        KeyRow{"custom_port_typed", text("fjjjjjjj\r8080\r"), 1, 0, "drop-port 8080", "dropping WAN dport 8080 at XDP", ""},
        KeyRow{"custom_port_wraps_32_bits", text("fjjjjjjj\r4294967319\r"), 1, 0, "drop-port 23",
               "dropping WAN dport 23 at XDP", ""},
        KeyRow{"custom_port_stops_at_dot", text("fjjjjjjj\r80.5\r"), 1, 0, "drop-port 80", "dropping WAN dport 80 at XDP", ""},
        KeyRow{"x_on_prefix", text("jx"), 1, 0, "unblock 192.168.0.0/16", "unblocked 192.168.0.0/16", ""},
        KeyRow{"x_on_port", text("\tx"), 1, 0, "undrop-port 23", "no longer dropping dport 23", ""},
        KeyRow{"x_on_empty_pane", text("x"), 1, 0, "", "nothing selected", ">> nothing selected", true},
        KeyRow{"attach", text("A"), 1, 0, "attach", "attached", "gate: ATTACHED (xdpdrv) on eth0"},
        KeyRow{"detach", text("D"), 1, 0, "detach", "detached", ""},
        KeyRow{"seed", text("R"), 1, 0, "seed", "bogons seeded", ""},
        KeyRow{"global_keys_left_alone", std::vector<int>{'2', 'n', 'q', 'b', KEY_RIGHT}, 0, 0, "", "", ""},
        KeyRow{"escape_ignored_in_normal", std::vector<int>{ESC}, 0, 0, "", "", ""}),
    [](const auto &info) { return std::string(info.param.name); });

// With nothing listening every command ends in the one message, promptly.
TEST_F(PageFixture, DaemonDownCommands)
{
    GateMaps m(pins.path);
    m.add_prefix("10.0.0.0", 8);
    for (const char *keys : {"A", "D", "R", "x", "f\r", "a1\r"}) {
        g_mw_msg[0] = '\0';
        auto t0 = std::chrono::steady_clock::now();
        press(text(keys));
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
        EXPECT_STREQ(g_mw_msg, "moatwalld unreachable - service moatwall start") << keys;
    }
    std::string page = PAGES[3].buf;
    EXPECT_NE(page.find("daemon: DOWN"), std::string::npos) << page;
    EXPECT_NE(page.find("10.0.0.0/8"), std::string::npos) << "pins still read: " << page;
}

TEST_F(PageFixture, MessageLastsAcrossSamples)
{
    StandinServer srv(sock, respond);
    press(text("R"));
    for (int i = 0; i < 3; i++) press({});
    EXPECT_NE(std::string(PAGES[3].buf).find(">> bogons seeded\n"), std::string::npos) << PAGES[3].buf;
}

TEST_F(PageFixture, NicMenuListsDeviceBackedOnly)
{
    nic("eth0", "ixgbe", "up\n", "10000\n");
    nic("eth1", "igb", "down\n", nullptr);
    nic("br0", nullptr, "up\n", nullptr);          // bridge: no device link
    nic("odd\x1b[2J", "e1000", "up\n", "1000\n");  // not a name the kernel would give
    nic("eth2", "weird\x1b[31m", "up\x1b\n", "-1\n");
    StandinServer srv(sock, respond);
    std::snprintf(g_mw_in, sizeof g_mw_in, "%s", "");
    g_wan = "eth1";
    press(text("i"));
    ASSERT_EQ(g_mw_mode, 4);
    EXPECT_EQ(g_mw_nnic, 3);
    std::string page = PAGES[3].buf;
    EXPECT_NE(page.find(" eth0           ixgbe      up     10000Mb [gate]\n"), std::string::npos) << page;
    EXPECT_NE(page.find(" eth1           igb        down   [tarnwatch:WAN]\n"), std::string::npos) << page;
    EXPECT_NE(page.find(" eth2           weird?[31m up?    \n"), std::string::npos) << page;
    EXPECT_EQ(page.find("br0"), std::string::npos) << page;
    EXPECT_EQ(page.find("odd"), std::string::npos) << page;
}

TEST_F(PageFixture, AtMostSixteenNics)
{
    for (int i = 0; i < 20; i++) nic("eth" + std::to_string(i), "ixgbe", "up\n", "1000\n");
    press(text("i"));
    EXPECT_EQ(g_mw_nnic, 16);
}

TEST_F(PageFixture, NoNicsFound)
{
    press(text("i"));
    EXPECT_NE(std::string(PAGES[3].buf).find("(no physical NICs found?)"), std::string::npos);
    press(text("\r"));
    EXPECT_EQ(g_mw_mode, 0);
}

struct ActionRow {
    const char *name;
    int downs;            // j presses in the action menu
    const char *command;  // "" when none
    const char *msg;
    const char *wan, *lan;
    int redisc;
};
struct NicActions : PageFixture, ::testing::WithParamInterface<ActionRow> {};

TEST_P(NicActions, Choose)
{
    const ActionRow &row = GetParam();
    nic("eth0", "ixgbe", "up\n", "10000\n");
    StandinServer srv(sock, respond);
    g_wan = "wan0";
    g_lan = "lan0";
    press(text("i\r") + text(std::string(static_cast<size_t>(row.downs), 'j')));
    EXPECT_NE(std::string(PAGES[3].buf).find("eth0: (j/k, enter, esc)"), std::string::npos) << PAGES[3].buf;
    press(text("\r"));
    EXPECT_EQ(g_mw_mode, 0);
    EXPECT_STREQ(g_mw_msg, row.msg);
    EXPECT_STREQ(g_wan, row.wan);
    EXPECT_STREQ(g_lan, row.lan);
    EXPECT_EQ(g_mw_force_redisc, row.redisc);
    bool sent = false;
    for (const std::string &r : srv.received()) sent |= r == row.command;
    EXPECT_EQ(sent, row.command[0] != '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Page, NicActions,
    ::testing::Values(ActionRow{"move", 0, "move eth0", "gate moved to eth0", "wan0", "lan0", 0},
                      ActionRow{"set_wan", 1, "", "tarnwatch WAN -> eth0 (rediscovering)", "eth0", "lan0", 1},
                      ActionRow{"set_lan", 2, "", "tarnwatch LAN -> eth0 (rediscovering)", "wan0", "eth0", 1},
                      ActionRow{"cancel", 3, "", "", "wan0", "lan0", 0},
                      ActionRow{"stops_at_cancel", 9, "", "", "wan0", "lan0", 0}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A render costs one request line and nothing more, however often it runs.
TEST_F(PageFixture, RenderCostsOneStatusExchange)
{
    GateMaps m(pins.path);
    for (int i = 0; i < 256; i++) m.add_prefix(("10.2.0." + std::to_string(i)).c_str(), 32);
    for (int i = 0; i < 64; i++) m.add_port(static_cast<uint16_t>(2000 + i));
    StandinServer srv(sock, respond);
    press({});
    const int N = 50;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < N; i++) press({});
    double each = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / N;
    EXPECT_EQ(srv.received().size(), static_cast<size_t>(N + 1));
    RecordProperty("render_us", static_cast<int>(each * 1e6));
    std::printf("one render (256 prefixes, 64 ports, stand-in daemon): %.0f us\n", each * 1e6);
}

}  // namespace
