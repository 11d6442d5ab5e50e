#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/nst_table.hpp"
#include "overview/page_overview.hpp"
#include "support/tmpdir.hpp"
#include "topology/ifaces.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

namespace {

const std::string KA = "aLiCeKeyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", KA12 = KA.substr(0, 12);
const std::string KB = "BBBBBBBBBBBBbobKeyBBBBBBBBBBBBBBBBBBBBBBBBB=";
const std::string KC = "CCCCCCCCCCCCcarolKeyCCCCCCCCCCCCCCCCCCCCCCC=";

std::string peer(const std::string &key, const std::string &ep, const std::string &hs, const char *rx = "0",
                 const char *tx = "0")
{
    return key + "\t(none)\t" + ep + "\t10.9.0.0/24\t" + hs + "\t" + rx + "\t" + tx + "\toff\n";
}

// Page 1 over a fixture /sys and /proc tree, with a stand-in `wg` on PATH that
// prints <dir>/dump.<dev> and records the device argument it got.
struct OverviewPage : ::testing::Test {
    TempDir t;
    std::string old_path = getenv("PATH");

    void SetUp() override
    {
        buffers_setup();
        reset();
        fsroot_set(t.path.c_str());
        g_interval = 2;
        g_last_ts = 1700000000;
        g_birdc = "/nonexistent/birdc";
        chmod(t.write("bin/wg", "#!/bin/sh\n[ \"$1 $3\" = 'show dump' ] || exit 1\nprintf %s \"$2\" >" + t.path +
                                    "/lastdev\ncat \"" + t.path + "/dump.$2\"\n").c_str(), 0755);
        setenv("PATH", (t.path + "/bin:" + old_path).c_str(), 1);
    }
    void TearDown() override
    {
        reset();
        fsroot_set("");
        g_birdc = DEFAULT_BIRDC;
        g_last_ts = 0;
        setenv("PATH", old_path.c_str(), 1);
    }
    static void reset()
    {
        sb_clear(&PAGES[0]);
        alerts_clear();
        colors_set(false);
        g_nctrs = g_n_peer_eps = g_n_wg_health = g_n_wgdevs = g_n_peer_names = 0;
        g_n_ifaces = g_nst_n = g_n_ospf_exp = 0;
        std::memset(g_snap, 0, sizeof g_snap);
    }
    void wgdev(const char *dev, const std::string &dump)  // the only device, with its dump
    {
        std::snprintf(g_wgdevs[0], 16, "%s", dev);
        g_n_wgdevs = 1;
        t.write(std::string("dump.") + dev, "PRIV=\tPUB=\t51820\toff\n" + dump);
    }
    void conntrack(const char *count, const char *max)
    {
        t.write("proc/sys/net/netfilter/nf_conntrack_count", count);
        t.write("proc/sys/net/netfilter/nf_conntrack_max", max);
    }
    static std::string sample()
    {
        sb_clear(&PAGES[0]);
        alerts_clear();
        render_overview();
        return PAGES[0].buf;
    }
    static void next_interval(time_t secs = 2)
    {
        ctr_roll();
        g_last_ts += secs;
    }
    static std::string line_with(const std::string &page, const std::string &needle)
    {
        size_t at = page.find(needle);
        if (at == std::string::npos) return "";
        size_t b = page.rfind('\n', at) + 1;  // npos + 1 == 0
        return page.substr(b, page.find('\n', at) - b);
    }
    // Peers fresh, never and stale; counters; softnet; conntrack 71 %; two interfaces.
    void full_fixture()
    {
        const char *stats[][2] = {{"tx_errors", "0"}, {"tx_dropped", "0"}, {"rx_errors", "3"}, {"rx_dropped", "1"}};
        for (auto &s : stats) t.write(std::string("sys/class/net/wg0/statistics/") + s[0], std::string(s[1]) + "\n");
        std::snprintf(g_peer_names[0].key, 64, "%s", KA.c_str());
        std::snprintf(g_peer_names[0].name, 48, "alice");
        g_n_peer_names = 1;
        wgdev("wg0", peer(KA, "198.51.100.7:51820", "1699999990", "1536", "123") + peer(KB, "(none)", "0") +
                         peer(KC, "[2001:db8::1]:51820", "1699999849", "5368709120", "1048576"));
        nst_put("UdpRcvbufErrors", 7);
        nst_put("IpInNoRoutes", 99);  // the kernel's InNoRoutes lives under IpExt
        nst_put("IpExtInNoRoutes", 2);
        nst_put("TcpExtIPReversePathFilter", 4);
        t.write("proc/net/softnet_stat", "0000a1b2 00000003 00000010\n00000001 00000002 00000001\n");
        conntrack("71\n", "100\n");
        std::snprintf(g_ifaces[0], 16, "eth0");
        std::snprintf(g_ifaces[1], 16, "wg0");
        g_n_ifaces = 2;
        std::snprintf(g_snap[0].operstate, 16, "up");
        g_snap[0].rx_bps = 2048, g_snap[0].tx_bps = 100, g_snap[0].rx_dropped = 4, g_snap[0].qdisc_drops = 2;
        g_snap[1].is_wg = 1, g_snap[1].flags = 0x1;
    }
};

TEST_F(OverviewPage, first_sample_byte_exact_then_coloured)
{
    full_fixture();
    EXPECT_EQ(sample(),
              "=== WireGuard (wg0) link ===\n"
              "  TX errors (no peer/AllowedIPs match): 0\n"
              "  TX drops                            : 0\n"
              "  RX errors (auth/decrypt fail)       : 3\n"
              "  RX drops                            : 1\n"
              "\n=== WireGuard (wg0) peers ===\n"
              "  alice        hs:10s  ep:198.51.100.7:51820  rx:1.5K tx:123\n"
              "  BBBBBBBBBBBB hs:NEVER  ep:(none)  rx:0 tx:0\n"
              "  CCCCCCCCCCCC hs:151s STALE  ep:[2001:db8::1]:51820  rx:5.0G tx:1.0M\n"
              "\n"
              "=== UDP underlay ===\n"
              "  UdpRcvbufErrors (WG socket overrun?): 7\n"
              "  UdpSndbufErrors                     : 0\n"
              "  UdpInErrors                         : 0\n"
              "\n=== IP stack ===\n"
              "  InNoRoutes        : 2\n"
              "  InDiscards        : 0\n"
              "  OutDiscards       : 0\n"
              "  OutNoRoutes       : 0\n"
              "  FragFails (DF set): 0\n"
              "  ReasmFails        : 0\n"
              "  ICMP DestUnreach out (incl frag-needed): 0\n"
              "  Ip6 InDiscards    : 0\n"
              "  Ip6 OutNoRoutes   : 0\n"
              "  Icmp6 PktTooBig out: 0\n"
              "  IPReversePathFilter: 4 (strict rp_filter eating asymmetric OSPF paths?)\n"
              "\n=== Softnet (kernel ingress) ===\n"
              "  Drops        : 5\n"
              "  Time squeeze : 17  (budget exhausted; sustained growth at 10G = raise netdev_budget)\n"
              "\n=== Conntrack ===\n"
              "  71 / 100 (71%)\n"
              "\n=== Interfaces (page 2 for detail) ===\n"
              "  eth0               up                 rx:2.0KB/s tx:100B/s  rxD:4 txD:0 qD:2\n"
              "  wg0                up 1/3 peers       rx:0B/s tx:0B/s  rxD:0 txD:0 qD:0\n");
    EXPECT_STREQ(ALERTS.buf, "peer:BBBBBBBBBBBB no handshake ever | peer:CCCCCCCCCCCC handshake 151s");
    EXPECT_EQ(g_wg_health[0].peers, 3);
    EXPECT_EQ(g_wg_health[0].fresh, 1);

    colors_set(true);
    std::string p = sample();
    for (const char *want : {"\e[1m=== WireGuard (wg0) link ===\e[0m\n", "RX drops                            : \e[2m1\e[0m\n",
                             " \e[2m(strict rp_filter", "  \e[2m(budget", " \e[32mup                \e[0m rx:",
                             " \e[32mup 1/3 peers      \e[0m rx:"})
        EXPECT_NE(p.find(want), std::string::npos) << want;
}

// The alert line follows page order: link counters, that device's peers, UDP,
// IP stack, softnet, conntrack, OSPF.
TEST_F(OverviewPage, alert_order_follows_page_order)
{
    full_fixture();
    std::string bird = t.write("birdc", "#!/bin/sh\necho 'Router ID'; echo '10.0.0.3 2-Way/DROther eth0 10.0.0.3'\n");
    chmod(bird.c_str(), 0755);
    g_birdc = bird.c_str();
    g_ospf_exp[0] = {"10.0.0.4", "core-x"};
    g_n_ospf_exp = 1;
    sample();
    next_interval();
    t.write("sys/class/net/wg0/statistics/rx_errors", "5\n");
    wgdev("wg0", peer(KB, "(none)", "0") + peer(KC, "192.0.2.9:51820", "1699999849"));
    g_nst_n = 0;  // refilled as a refresh would
    nst_put("UdpInErrors", 1);
    nst_put("IpExtInNoRoutes", 3);
    t.write("proc/net/softnet_stat", "00000001 00000006 00000011\n");
    conntrack("91\n", "100\n");
    sample();
    EXPECT_STREQ(ALERTS.buf, "wg0/rx_errors +2 | peer:BBBBBBBBBBBB no handshake ever | peer:CCCCCCCCCCCC handshake "
                             "153s | peer:CCCCCCCCCCCC endpoint roamed | UdpInErrors +1 | IpInNoRoutes +1 | "
                             "softnet_drops +1 | conntrack 91% | OSPF: 10.0.0.3 2-Way/DROther eth0 10.0.0.3 | "
                             "OSPF: core-x MISSING");
}

TEST_F(OverviewPage, conntrack_fill_colours)
{
    colors_set(true);
    struct Case { const char *count, *max, *line, *alert; } cases[] = {
        {"70", "100", "  \e[2m70 / 100 (70%)\e[0m", ""},         {"71", "100", "  \e[33;1m71 / 100 (71%)\e[0m", ""},
        {"90", "100", "  \e[33;1m90 / 100 (90%)\e[0m", ""},      {"91", "100", "  \e[31;1m91 / 100 (91%)\e[0m", "conntrack 91%"},
        {"0", "0", "  \e[2m0 / 1 (0%)\e[0m", ""},
    };
    for (const Case &c : cases) {
        conntrack(c.count, c.max);
        EXPECT_EQ(line_with(sample(), " / "), c.line) << c.count;
        EXPECT_STREQ(ALERTS.buf, c.alert);
    }
}

TEST_F(OverviewPage, handshake_ages_and_roams)
{
    colors_set(true);
    struct Case { const char *hs, *shown; int fresh; } cases[] = {
        {"1699999850", "\e[32m150s\e[0m", 1},
        {"1699999849", "\e[31;1m151s STALE\e[0m", 0},
        {"1700000005", "\e[32m-5s\e[0m", 1},  // clock skew: a future handshake is fresh
        {"garbage", "\e[31;1mNEVER\e[0m", 0},
        {"-9223372036854775808", "\e[31;1m9223372036854775807s STALE\e[0m", 0},  // saturates, no overflow
    };
    for (const Case &c : cases) {
        wgdev("wg0", peer(KA, "(none)", c.hs));
        std::string l = line_with(sample(), "hs:");
        EXPECT_EQ(l.substr(0, l.find("  ep:")), "  " + KA12 + " hs:" + c.shown) << c.hs;
        EXPECT_EQ(g_wg_health[0].fresh, c.fresh) << c.hs;
    }
    // A roam from "(none)" is shown once; an endpoint longer than its field never roams.
    colors_set(false);
    std::string long_ep(100, 'e');
    for (int i = 0; i < 2; i++) {
        next_interval(0);
        wgdev("wg0", peer(KA, "192.0.2.1:51820", "1699999999") + peer(KB, long_ep, "1699999999"));
        EXPECT_EQ(line_with(sample(), KA12), "  " + KA12 + " hs:1s  ep:192.0.2.1:51820" +
                                                 (i ? "" : " (ROAMED from (none))") + "  rx:0 tx:0");
        EXPECT_STREQ(ALERTS.buf, i ? "" : ("peer:" + KA12 + " endpoint roamed").c_str());
    }
}

TEST_F(OverviewPage, hostile_dump_stays_bounded)
{
    std::string d = "PUB\t(none)\t1.2.3.4:1\t10.0.0.0/8\t1699999999\t1\n"  // 6 fields: skipped
                    "\t\tRUNS_OF_TABS\t\t(none)\t\t5.6.7.8:9\t\t*\t\t1699999999\t\t2\t\t3\t\toff\n" +
                    peer(std::string(5000, 'L'), "(none)", "1") +  // cut to one field: skipped
                    "AFTER_LONG_0\t(none)\t(none)\t*\t1699999999\t7\t8\t" + std::string(5000, 'k') + "\n";
    for (int i = 0; i < 65; i++) d += peer("peer" + std::to_string(i), "(none)", "1699999999");
    wgdev("wg0", d);
    std::string p = sample();
    EXPECT_NE(p.find("  RUNS_OF_TABS hs:1s  ep:5.6.7.8:9  rx:2 tx:3\n  AFTER_LONG_0 hs:1s  ep:(none)  rx:7 tx:8\n"),
              std::string::npos);
    for (const char *junk : {"PUB", "LLL", "kkk"}) EXPECT_EQ(p.find(junk), std::string::npos) << junk;
    EXPECT_EQ(g_wg_health[0].peers, 67);
    // Keys beyond the 64th are not remembered, so their endpoint changes go unreported.
    next_interval();
    wgdev("wg0", peer("peer61", "9.9.9.9:1", "1699999999") + peer("peer62", "9.9.9.9:1", "1699999999"));
    sample();
    EXPECT_STREQ(ALERTS.buf, "peer:peer61 endpoint roamed");
}

TEST_F(OverviewPage, wg_runs_without_shell_and_its_absence_is_quiet)
{
    wgdev("w;id>x$(y)", peer(KA, "(none)", "0"));
    std::string p = sample();
    EXPECT_EQ(read_whole_file(t.path + "/lastdev"), "w;id>x$(y)");  // one argument, unexpanded
    EXPECT_NE(p.find("=== WireGuard (w;id>x$(y)) peers ===\n  " + KA12 + " hs:NEVER"), std::string::npos);

    setenv("PATH", "/nonexistent", 1);  // wg missing: its child exits 127 without output
    EXPECT_NE(sample().find("peers ===\n\n=== UDP underlay"), std::string::npos);
}

}  // namespace
