// Page 4 in process: the map reader against real pinned maps made with the
// bpf system call, the keys and commands against a stand-in daemon, the NIC
// menu against a fixture /sys.
#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/keys.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "export/textfile_export.hpp"
#include "counters/counters.hpp"
#include "moatwall/moatwall_contract.h"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"
#include "standin_server.hpp"
#include "support/gate_maps.hpp"
#include "support/gate_rig.hpp"
#include "support/tmpdir.hpp"

namespace {

std::string respond(const std::string &req)
{
    if (req == "status") return "iface eth0\nattached 1 xdpdrv\ngate eth0 xdpdrv\nOK\n";
    if (req == "seed") return "skipped 10.0.0.0/8: covers 10.33.0.1 on eth0\nOK\n";
    return req == "block " ? "ERR expected a.b.c.d/len\n" : "OK\n";
}

bool has(const std::string &page, const std::string &text) { return page.find(text) != std::string::npos; }

struct Page4 : ::testing::Test {
    BpfDir pins;
    TempDir sysroot;
    std::string sock = pins.dir + "/mw.sock";
    void SetUp() override
    {
        if (!pins.mounted) GTEST_SKIP() << "cannot mount a BPF file system (needs root)";
        mw_drop_conn();
        mw_close_maps();
        mw_paths_set(sock.c_str(), pins.fs.c_str());
        g_mw_pane = g_mw_sel = g_mw_msel = g_mw_mode = g_mw_inlen = g_mw_force_redisc = g_mw_ncpu = 0;
        g_mw_in[0] = g_mw_msg[0] = '\0';
    }
    void TearDown() override { mw_close_maps(), mw_drop_conn(); }
    // One sample's page 4 as the main loop has it: render, the end-of-sample
    // roll, then the keys until the next sample (rendering again after each one
    // taken). Returns what mw_key answered for the last key.
    int press(const std::vector<int> &keys)
    {
        for (StrBuf &p : PAGES) sb_clear(&p);
        alerts_clear();
        mw_collect();
        mw_render();
        ctr_roll();
        int taken = 0;
        for (int k : keys)
            if ((taken = mw_key(k))) sb_clear(&PAGES[3]), mw_render_again();
        return taken;
    }
    std::string page() const { return PAGES[3].buf; }
    void nic(const std::string &name, const char *driver, const char *state, const char *speed) const
    {
        mw_cpu_count();  // the real count, before the fixture root hides it
        fsroot_set(sysroot.path.c_str());
        std::string d = "sys/class/net/" + name, at = sysroot.path + "/" + d;
        sysroot.mkdir(d);
        if (driver) {
            sysroot.mkdir("sys/bus/pci/drivers/" + std::string(driver));
            sysroot.mkdir(d + "/devdir");
            symlink("devdir", (at + "/device").c_str());
            symlink(("../../../../bus/pci/drivers/" + std::string(driver)).c_str(), (at + "/devdir/driver").c_str());
        }
        if (state) sysroot.write(d + "/operstate", state);
        if (speed) sysroot.write(d + "/speed", speed);
    }
};

// A missing key, or a pin of the right name but another layout, shows nothing
// from any map, every render; a wrong layout must never be written past.
struct BadStatsRow {
    const char *name;
    uint32_t entries, value_size;  // entries 0: no pins at all
    const char *lists;             // how the prefix list reads
};
struct BadStats : Page4, ::testing::WithParamInterface<BadStatsRow> {};

TEST_P(BadStats, NotReadableEveryRender)
{
    GateMaps m(pins.fs, GetParam().entries, GetParam().value_size);
    m.add_prefix("10.0.0.0", 8);
    for (int i = 0; i < 2; i++) {
        press({});
        EXPECT_TRUE(has(page(), "pinned maps not readable under /sys/fs/bpf/moatwall")) << page();
        EXPECT_FALSE(has(page(), "passed")) << page();
        EXPECT_TRUE(has(page(), GetParam().lists)) << page();
    }
}

const BadStatsRow BAD_STATS[] = {
    {"missing_key", 4, 8, "--- drop prefixes (0)"},  // a failed lookup closes every map for the render
    {"wide_values", 5, 64, "--- drop prefixes (1)"},  // refused at open like a missing pin: the lists stand
    {"no_pins", 0, 8, "(empty - R to seed bogons)"},
};
INSTANTIATE_TEST_SUITE_P(Maps, BadStats, ::testing::ValuesIn(BAD_STATS), [](const auto &i) { return std::string(i.param.name); });

struct GrowthRow {
    const char *name;
    uint32_t key;
    uint64_t before, after;
    const char *label;
    char colour;               // 'D' dim, 'Y' yellow, 'R' red
    const char *second_line;  // after the colour, in the second sample
    const char *alert;                 // "" when none
};
struct Growth : Page4, ::testing::WithParamInterface<GrowthRow> {};

TEST_P(Growth, SecondSample)
{
    const GrowthRow &row = GetParam();
    colors_set(true);
    GateMaps m(pins.fs);
    m.set_stat(row.key, row.before);
    press({});
    EXPECT_FALSE(has(page(), "(+")) << "first render shows no growth: " << page();
    m.set_stat(row.key, row.after);
    press({'j'});  // the figures as the sample showed them, after a key too
    char line[160];
    std::snprintf(line, sizeof line, "  %-14s %s%s%s\n", row.label,
                  row.colour == 'D' ? DIM : row.colour == 'Y' ? YEL : RED, row.second_line, RST);
    EXPECT_TRUE(has(page(), line)) << page();
    EXPECT_STREQ(ALERTS.buf, row.alert);
}

const GrowthRow GROWTH[] = {
    {"passed_grows_yellow", 0, 10, 15, "passed", 'Y', "15 (+5/2s)", ""},
    {"malformed_grows_red", 4, 0, 3, "malformed", 'R', "3 (+3/2s)", "moatwall malformed +3"},
    {"went_down_dim", 1, 10, 5, "dropped src", 'D', "5", ""},
    {"nonip_still_dim", 3, 7, 7, "passed non-ip", 'D', "7", ""},
    {"dport_beyond_32_bits", 2, 1, 0x100000001ULL, "dropped dport", 'Y', "4294967297 (+4294967296/2s)", ""},
};
INSTANTIATE_TEST_SUITE_P(Maps, Growth, ::testing::ValuesIn(GROWTH), [](const auto &i) { return std::string(i.param.name); });

// The possible-CPU list as the kernel writes it; anything odd falls back to the configured count.
TEST(CpuCount, FromPossibleFile)
{
    const long conf = sysconf(_SC_NPROCESSORS_CONF);
    const std::pair<const char *, long> rows[] = {{"0-7\n", 8}, {"0\n", 1}, {"0-3,8-11\n", 8}, {"0,2,4-5\n", 4}, {nullptr, conf},
                                                 {"cpus\n", conf}, {"7-0\n", conf}, {"0-99999999\n", conf}, {"0-3,\n", conf}};
    for (const auto &[file, count] : rows) {
        TempDir root;
        if (file) root.write("sys/devices/system/cpu/possible", file);
        fsroot_set(root.path.c_str());
        g_mw_ncpu = 0;
        EXPECT_EQ(mw_cpu_count(), count) << (file ? file : "no file");
    }
    g_mw_ncpu = 0;
}

struct KeyRow {
    const char *name;
    std::vector<int> keys;
    int taken;            // mw_key's answer to the last key
    int mode;             // afterwards
    const char *command;  // the one request besides "status", "" when none
    const char *msg;
    const char *shown;  // on the page afterwards
    bool daemon = true;
    const char *wan = "wan0", *lan = "lan0";  // the monitor's interfaces afterwards
};

struct Keys : Page4, ::testing::WithParamInterface<KeyRow> {};

TEST_P(Keys, Drive)
{
    const KeyRow &row = GetParam();
    GateMaps m(pins.fs);
    m.add_prefix("10.0.0.0", 8);
    m.add_prefix("192.168.0.0", 16);
    m.add_prefix("2001:db8:aaaa:bbbb:cccc:dddd:eeee:fff0", 124);
    m.add_port(23);
    nic("eth0", "ixgbe", "up\n", "10000\n");
    g_wan = "wan0", g_lan = "lan0";
    std::unique_ptr<StandinServer> srv;
    if (row.daemon) srv = std::make_unique<StandinServer>(sock, respond);
    EXPECT_EQ(press(row.keys), row.taken);
    EXPECT_EQ(g_mw_mode, row.mode);
    EXPECT_STREQ(g_mw_msg, row.msg);
    std::vector<std::string> cmds, want;
    for (const std::string &r : srv ? srv->received() : cmds)
        if (r != "status") cmds.push_back(r);
    if (row.command[0]) want.push_back(row.command);
    EXPECT_EQ(cmds, want);
    EXPECT_TRUE(has(page(), row.shown)) << page();
    EXPECT_STREQ(g_wan, row.wan);
    EXPECT_STREQ(g_lan, row.lan);
    EXPECT_EQ(g_mw_force_redisc, std::strcmp(row.wan, "wan0") || std::strcmp(row.lan, "lan0"));
}

std::vector<int> K(const std::string &s, std::vector<int> tail = {})  // bytes, then key codes
{
    tail.insert(tail.begin(), s.begin(), s.end());
    return tail;
}
const char *const DOWN_MSG = "moatwalld unreachable - service moatwall start";
const std::string SEVEN47 = ": " + std::string(47, '7') + "_   (";
const KeyRow KEYS[] = {
    {"q_ignored_in_prompt", K("a1q"), 1, 1, "", "", "block prefix (a.b.c.d/len or x:x::/len): 1_"},
    {"j_past_end_ipv6_last", K("jjjjj"), 1, 0, "", "", "> 2001:db8:aaaa:bbbb:cccc:dddd:eeee:fff0/124"},
    {"k_stops_at_top", K("jkk"), 1, 0, "", "", "> 10.0.0.0/8"},
    {"tab_first_row_other_pane", K("j\t"), 1, 0, "", "", "> 23 telnet scan"},
    {"forty_eighth_char", K("a" + std::string(48, '7')), 1, 1, "", "", SEVEN47.c_str()},
    {"only_prefix_chars_typed", K("a1x.bGq:F/"), 1, 1, "", "", ": 1.b:F/_"},
    {"ipv6_block", K("a2001:DB8::/32\r"), 1, 0, "block 2001:DB8::/32", "dropping src 2001:DB8::/32 at XDP", ""},
    {"backspace_on_empty_then_del", {'a', 8, '1', '2', 127, 8, '3'}, 1, 1, "", "", "/len): 3_"},
    {"other_sequence_acts_as_escape", K("a1", {KEY_SEQ + 'H'}), 1, 0, "", "", "tab=pane"},
    {"arrows_ignored_while_typing", K("a1", {KEY_UP, KEY_RIGHT}), 1, 1, "", "", ": 1_"},
    {"block_empty_refused", K("a\n"), 1, 0, "block ", "expected a.b.c.d/len", ">> expected a.b.c.d/len"},
    {"menu_down_arrow", K("f", {KEY_DOWN, '\r'}), 1, 0, "drop-port 445", "dropping WAN dport 445 at XDP", ""},
    {"menu_stops_at_last", K("fjjjjjjjjjj"), 1, 3, "", "", "> custom port..."},
    {"custom_port_typed", K("fjjjjjjj\r8080\r"), 1, 0, "drop-port 8080", "dropping WAN dport 8080 at XDP", ""},
    {"custom_port_wraps_32_bits", K("fjjjjjjj\r4294967319\r"), 1, 0, "drop-port 23", "dropping WAN dport 23 at XDP", ""},
    {"custom_port_stops_at_dot", K("fjjjjjjj\r80.5\r"), 1, 0, "drop-port 80", "dropping WAN dport 80 at XDP", ""},
    {"custom_port_takes_no_hex", K("fjjjjjjj\r8a0\r"), 1, 0, "drop-port 80", "dropping WAN dport 80 at XDP", ""},
    {"x_on_prefix", K("jx"), 1, 0, "unblock 192.168.0.0/16", "unblocked 192.168.0.0/16", ""},
    {"x_on_ipv6_prefix", K("jjx"), 1, 0, "unblock 2001:db8:aaaa:bbbb:cccc:dddd:eeee:fff0/124",
     "unblocked 2001:db8:aaaa:bbbb:cccc:dddd:eeee:fff0/124", ""},
    {"x_on_port", K("\tx"), 1, 0, "undrop-port 23", "no longer dropping dport 23", ""},
    {"seed_notes_after_success", K("R"), 1, 0, "seed", "bogons seeded - skipped 10.0.0.0/8: covers 10.33.0.1 on eth0",
     ">> bogons seeded - skipped"},
    {"attach", K("A"), 1, 0, "attach", "attached", "gate: ATTACHED (xdpdrv) on eth0"},
    {"detach", K("D"), 1, 0, "detach", "detached", ""},
    {"global_keys_left_alone", {'2', 'n', 'q', 'b', KEY_RIGHT}, 0, 0, "", "", ""},
    {"escape_ignored_in_normal", {KEY_ESC}, 0, 0, "", "", ""},
    {"nic_actions_menu", K("i\rjjjjjjjj"), 1, 5, "", "", "eth0: (j/k, enter, esc)"},
    {"nic_move", K("i\r\r"), 1, 0, "move eth0", "gate moved to eth0", ""},
    {"nic_set_wan", K("i\rj\r"), 1, 0, "", "tarnwatch WAN -> eth0 (rediscovering)", "", true, "eth0"},
    {"nic_set_lan", K("i\rjj\r"), 1, 0, "", "tarnwatch LAN -> eth0 (rediscovering)", "", true, "wan0", "eth0"},
    {"nic_cancel", K("i\rjjj\r"), 1, 0, "", "", ""},
    {"nic_stops_at_cancel", K("i\rjjjjjjjjj\r"), 1, 0, "", "", ""},
    // With nothing listening every command ends in the one message; the pins are still read.
    {"down_attach", K("A"), 1, 0, "", DOWN_MSG, "daemon: DOWN", false},
    {"down_unblock", K("x"), 1, 0, "", DOWN_MSG, "10.0.0.0/8", false},
};
INSTANTIATE_TEST_SUITE_P(Page, Keys, ::testing::ValuesIn(KEYS), [](const auto &i) { return std::string(i.param.name); });

TEST_F(Page4, NicMenuListsDeviceBackedOnlyAndAtMostSixteen)
{
    nic("eth0", "ixgbe", "up\n", "10000\n");
    nic("eth1", "igb", "down\n", nullptr);
    nic("br0", nullptr, "up\n", nullptr);          // bridge: no device link
    nic("odd\x1b[2J", "e1000", "up\n", "1000\n");  // not a name the kernel would give
    nic("eth2", "weird\x1b[31m", "up\x1b\n", "-1\n");
    StandinServer srv(sock, respond);
    g_wan = "eth1";
    press({'i'});
    ASSERT_EQ(g_mw_mode, 4);
    EXPECT_TRUE(has(page(), " eth0           ixgbe      up     10000Mb [gate]\n")) << page();
    EXPECT_TRUE(has(page(), " eth1           igb        down   [tarnwatch:WAN]\n")) << page();
    EXPECT_TRUE(has(page(), " eth2           weird?[31m up?    \n")) << page();
    EXPECT_FALSE(has(page(), "br0") || has(page(), "odd")) << page();
    press({KEY_ESC});
    for (int i = 3; i < 20; i++) nic("eth" + std::to_string(i), "ixgbe", "up\n", "1000\n");
    press({'i'});
    EXPECT_EQ(g_mw_nnic, 16);
}

// Lists are cut at 256 prefixes and 64 ports, while the headers and the export
// count every one; a sample costs one request line and nothing more, and a
// key that only moves the selection none.
TEST_F(Page4, ListsBoundedCountsTrueAndOneStatusExchangePerSample)
{
    GateMaps m(pins.fs);
    for (int i = 0; i < 290; i++) m.add_prefix("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250), 32);
    for (int i = 0; i < 10; i++) m.add_prefix("2001:db8:" + std::to_string(i) + "::", 48);
    for (int i = 0; i < 100; i++) m.add_port(static_cast<uint16_t>(1000 + i));
    StandinServer srv(sock, respond);
    for (int i = 0; i < 20; i++) press({});
    press({'j', '\t', 'k'});  // re-rendered from what the sample read
    EXPECT_EQ(srv.received().size(), 21u);
    for (const char *s : {"--- drop prefixes (300, first 256 shown)", "--- drop dports (100, first 64 shown)", "10.1.0.0/32"})
        EXPECT_TRUE(has(page(), s)) << s << "\n" << page();
    EXPECT_FALSE(has(page(), "2001:")) << "IPv4 rows come first";
    StrBuf out{};
    sb_init(&out, 1024);
    tf_build(&out, nullptr, 0);
    for (const char *s : {"\ntarnwatch_gate_drop_prefixes 300\n", "\ntarnwatch_gate_drop_ports 100\n"})
        EXPECT_TRUE(has(out.buf, s)) << s;
    std::free(out.buf);
}

}  // namespace
