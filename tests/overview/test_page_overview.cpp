#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/run_tool.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/nst_table.hpp"
#include "overview/ospf_check.hpp"
#include "overview/overview_model.hpp"
#include "overview/page_overview.hpp"
#include "support/fixture_rows.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"
#include "topology/ifaces.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

namespace {

const std::string FIX = TW_SOURCE_DIR "/tests/overview/fixtures/";
const std::string WG = "wg;id>x$(y)\x1b";  // the WireGuard device; no shell may see its name, no terminal its ESC

std::string peer(const std::string &key, const std::string &ep, const std::string &hs)
{
    return key + "\t(none)\t" + ep + "\t10.9.0.0/24\t" + hs + "\t0\t0\toff\n";
}

// Page 1 built from model tables filled here, at sample time 1700000000, with
// the one device WG. Tests of the collectors put a stand-in `wg` or client on PATH.
struct OverviewPage : ::testing::Test {
    TempDir t;

    void SetUp() override
    {
        fsroot_set(t.path.c_str());
        g_last_ts = 1700000000;
        g_birdc = "/nonexistent/birdc";
        std::snprintf(g_wgdevs[0], 16, "%s", WG.c_str());
        g_n_wgdevs = 1;
        g_ospf_run.client = BIRDC_ABSENT;
        tl_clear(&g_ospf_run.lines);
        std::memset(g_wg_link, 0, sizeof g_wg_link);
        g_softnet = {0, 0};
        conntrack(0, 1);
        dump("");
        setenv("PATH", (t.path + "/bin:" + FIX + "bin:" + getenv("PATH")).c_str(), 1);
    }
    // What the device's own `wg show WG dump` printed: its own line, then peers.
    static void dump(const std::string &peers)
    {
        WgDump &w = g_wg_dump[0];
        w.ran = true;
        tl_clear(&w.lines);
        std::istringstream text("PRIV\tPUB\t51820\toff\n" + peers);
        for (std::string l; std::getline(text, l);) tl_add(&w.lines, l.data(), l.size());
    }
    static void conntrack(uint64_t count, uint64_t max) { g_conntrack = {count, max, uint32_t(count * 100 / max)}; }
    // One sample's page, then its alert line.
    static std::string sample(void (*render)() = render_overview)
    {
        sb_clear(&PAGES[0]);
        alerts_clear();
        wg_health_count();
        render();
        return PAGES[0].buf + ("-- alerts: " + std::string(ALERTS.buf) + "\n");
    }
};

// Handshakes at and just past the 150 s edge, from the future and garbled;
// hostile dump lines; conntrack's maximum reading 0; the tunnel's own row with
// distinct rates and drops; over three samples of a 7 s interval. The summary's
// drops are shown, never alerted: the Interfaces page does that.
TEST_F(OverviewPage, exact_page_then_colours_and_alert_order)
{
    g_interval = 7;
    g_wg_link[0][2] = 3;  // rx_errors
    dump(fixture("overview/fixtures/wg_dump_skewed_and_broken.tsv") + peer("gar\x1b" "bage", "(none)", "x17"));
    nst_put("IpInNoRoutes", 99);  // the kernel's InNoRoutes lives under IpExt
    nst_put("IpExtInNoRoutes", 2);
    g_softnet = {5, 17};
    std::snprintf(g_ifaces[0], 16, "%s", WG.c_str());
    g_n_ifaces = 1;
    IfSnap &s = g_snap[0];
    s.flags = s.is_wg = s.rx_dropped = 1;  // a WireGuard device, IFF_UP
    s.tx_dropped = 2;
    s.qdisc_drops = 3;
    s.rx_bps = 1536;
    s.tx_bps = 3;
    EXPECT_EQ(sample(), fixture("overview/fixtures/page1_first_sample.txt"));

    // The next interval, where every section has something to say, and a hub's peers:
    // more than endpoints are kept for, more than rows (the rest in one line, every
    // problem among them in one alert; the summary row counts every peer).
    colors_set(true);
    g_ospf_run.client = BIRDC_PRESENT;
    g_ospf_run.started = true;
    for (const char *l : {"Router ID", "10.0.0.3 2-Way eth0"}) tl_add(&g_ospf_run.lines, l, std::strlen(l));
    ctr_roll();
    g_last_ts += 2;
    g_wg_link[0][2] = 5;
    std::string more = peer("gar\x1b" "bage", "192.0.2.7:51820", "x17");
    for (int i = 0; i < 300; i++) more += peer("p" + std::to_string(i), "(none)", i % 3 ? "1700000000" : "0");
    dump(more);
    g_nst_n = 0;  // refilled as a refresh would
    nst_put("IpExtInNoRoutes", 3);
    g_softnet = {6, 17};
    conntrack(91, 100);
    s.tx_dropped = 12;
    s.qdisc_drops = 4;
    EXPECT_EQ(sample(), fixture("overview/fixtures/page1_second_sample_colour.txt"));
    // Roaming is shown once; 90% is no alert yet.
    ctr_roll();
    g_wg_link[0][2] = 9;
    conntrack(90, 100);
    EXPECT_EQ(sample(), fixture("overview/fixtures/page1_third_sample_colour.txt"));
    // Conntrack's colour edges, with a wg that printed nothing (missing: exit 127), then none run.
    conntrack(71, 100);
    g_wg_dump[0].ran = true;
    tl_clear(&g_wg_dump[0].lines);
    EXPECT_EQ(sample(), fixture("overview/fixtures/page1_fourth_sample_colour.txt"));
    conntrack(70, 100);
    g_wg_dump[0].ran = false;
    EXPECT_EQ(sample(), fixture("overview/fixtures/page1_fifth_sample_colour.txt"));
    // The collection reads each link statistic into its own column.
    t.write("sys/class/net/" + WG + "/statistics/tx_dropped", "4\n");
    t.write("sys/class/net/" + WG + "/statistics/rx_dropped", "6\n");
    overview_collect();
    EXPECT_EQ(std::vector<uint64_t>(g_wg_link[0], g_wg_link[0] + N_WG_LINK_STATS), std::vector<uint64_t>({0, 4, 0, 6}));
}

// A runaway `wg` does not grow the page, nor the memory, and loses no problem.
TEST_F(OverviewPage, runaway_wg_is_bounded)
{
    sh("chmod +x " + t.write("bin/wg", "#!/bin/sh\necho dev\nyes 'KEY\t(none)\t(none)\t*\t0\t1\t2\toff' | head -n 2000000\n"));
    wg_peers_collect();
    EXPECT_LE(g_wg_dump[0].lines.len, TOOL_LINES_MAX);
    EXPECT_NE(sample().find(" more peers not shown, "), std::string::npos);
    EXPECT_LT(PAGES[0].len, 32768u);
    EXPECT_EQ(n_alerts, 256 + 1);
}

// Several devices: one `wg show all dump` gives each section what its own run
// gives, and a dump too large to keep leaves each device its own run again.
TEST_F(OverviewPage, several_devices_share_one_wg_run)
{
    std::snprintf(g_wgdevs[1], 16, "wg1");
    g_n_wgdevs = 2;
    sh("mkdir " + t.path + "/bin; cp " + FIX + "bin/wg-by-device " + t.path + "/bin/wg");
    std::string many;
    for (int i = 0; i < 1500; i++) many += peer("h" + std::to_string(i), "192.0.2.9:1", i % 2 ? "1700000000" : "0");
    const std::pair<std::string, std::string> cases[] = {
        {peer("A", "192.0.2.1:1", "1700000000") + peer("B", "(none)", "0"), "show all dump\n"},
        {many, "show all dump\nshow " + WG + " dump\nshow wg1 dump\n"},  // over 64 KiB
    };
    for (const auto &[wg1, runs] : cases) {
        t.write("dump." + WG, peer("C", "192.0.2.3:1", "1699999000") + "garbage\n");
        t.write("dump.wg1", wg1);
        t.write("noall", "");  // each device its own run
        wg_peers_collect();
        sample();  // endpoints and counters seen once
        const std::string own = sample();
        sh("cd " + t.path + " && rm runs noall");
        wg_peers_collect();
        EXPECT_EQ(sample(), own);
        EXPECT_EQ(read_whole_file(t.path + "/runs"), runs);
    }
}

// Client output is not trusted: invalid addresses, no table header, nothing at
// all, a runaway table, a client that stalls. A client that is missing leaves
// the section out. Each case is a sample of its own: its page section, then its
// alerts, as recorded.
TEST_F(OverviewPage, ospf_client_output)
{
    g_ospf_exp[0] = {"192.168.1.2", "by-router-id"};  // a router ID is not the neighbour's address
    g_ospf_exp[1] = {"10.0.0.9", "ghost"};
    g_n_ospf_exp = 2;
    for (const FixtureRow &row : fixture_rows("overview/fixtures/ospf/clients.tsv", 2)) {
        const std::string client = std::string(300, ' ') + row[1];
        g_birdc = client.c_str();
        const std::string p = sample([] {
            tool_sample_begin();
            ospf_collect();
            ospf_check();
            tool_sample_end();
        });
        EXPECT_EQ(p, fixture("overview/fixtures/ospf/" + row[0] + ".txt")) << row[0];
    }
}

// BIRD 2 as both routers of fixtures/bird/: each expects the other ("core-b") and
// 10.77.0.9 ("ghost").
TEST_F(OverviewPage, ospf_real_bird_daemons)
{
    if (!netns_available() || sh("command -v bird >/dev/null") != 0) GTEST_SKIP() << "needs root, netns and bird2";
    NetnsGuard ns[] = {NetnsGuard{"twbird"}, NetnsGuard{"twbird"}};
    ns[0].run("ip link add vl1 type veth peer name vl2 netns " + ns[1].name);
    for (int i = 0; i < 2; i++) {
        const std::string n = std::to_string(i + 1), run = t.path + "/vl" + n;
        ns[i].run("sh -c 'ip addr add 10.77.0." + n + "/30 dev vl" + n + " && ip link set vl" + n + " up'");
        ns[i].run("bird -c " + FIX + "bird/vl" + n + ".conf -s " + run + ".ctl -P " + run + ".pid");
    }
    load_ospf_expected((FIX + "bird/vl1.conf").c_str());
    std::string client = "birdc -s " + t.path + "/vl1.ctl";
    g_birdc = client.c_str();
    sh("for i in $(seq 100); do " + client + " show ospf neighbors | grep -q Full && break; sleep 0.2; done");
    colors_set(true);
    ospf_collect();
    std::string p = sample(ospf_check);
    EXPECT_TRUE(p.starts_with("\n\e[1m=== OSPF neighbors (bird) ===\e[0m\n  \e[32m10.77.0.2")) << p;
    EXPECT_TRUE(p.ends_with("  \e[31;1m10.77.0.9 (ghost) MISSING - configured in bird.conf, no adjacency\e[0m\n"
                            "-- alerts: OSPF: ghost MISSING\n")) << p;

    // Both daemons stop here (the test has no early exit), so none outlives its namespace.
    sh("for p in $(cat " + t.path + "/vl?.pid); do kill $p && timeout 5 tail --pid=$p -f /dev/null; done");
    ospf_collect();
    p = sample(ospf_check);
    EXPECT_NE(p.find("skipping MISSING check\e[0m\n  \e[2mbirdc said: Unable to connect"), std::string::npos) << p;
    EXPECT_TRUE(p.ends_with("-- alerts: birdc unreadable\n")) << p;
}

}  // namespace
