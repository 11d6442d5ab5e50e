#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <linux/ethtool.h>
#include <malloc.h>
#include <map>
#include <sys/socket.h>
#include <sys/uio.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "ifdetail/ethtool.hpp"
#include "ifdetail/ifsnap.hpp"
#include "ifdetail/ifdetail_model.hpp"
#include "ifdetail/page_ifdetail.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"
#include "topology/ifaces.hpp"

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
static size_t heap_in_use() { return __sanitizer_get_current_allocated_bytes(); }
#else
static size_t heap_in_use() { return mallinfo2().uordblks; }
#endif

namespace {

// A driver's recorded replies: no driver name or a negative flag word is a failing
// request; GSTATS writes `grow` values more than counted, as when queues are added.
struct Driver {
    const char *driver = "i40e";
    std::vector<std::string> stats;
    std::vector<uint64_t> values;
    std::vector<std::string> pflags;
    int64_t word = 0;
    uint32_t grow = 0;
};
std::map<std::string, Driver> g_drivers;

// The kernel's copy_to_user: a write reaching an unmapped page fails as EFAULT.
bool to_user(void *dst, const void *src, size_t n)
{
    iovec local{const_cast<void *>(src), n}, remote{dst, n};
    return process_vm_writev(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(n);
}

// Answers like the kernel does: a whole set, whatever length was asked for.
int replay(const char *ifname, void *cmd)
{
    auto it = g_drivers.find(ifname);
    if (it == g_drivers.end()) return -1;
    const Driver &d = it->second;
    auto set_of = [&](uint32_t set) -> const std::vector<std::string> & { return set == ETH_SS_STATS ? d.stats : d.pflags; };
    switch (*static_cast<uint32_t *>(cmd)) {
    case ETHTOOL_GDRVINFO:
        return d.driver ? (std::snprintf(static_cast<ethtool_drvinfo *>(cmd)->driver, 32, "%s", d.driver), 0) : -1;
    case ETHTOOL_GSSET_INFO: {
        auto *i = static_cast<ethtool_sset_info *>(cmd);
        i->data[0] = static_cast<uint32_t>(set_of(i->sset_mask == 2 ? ETH_SS_STATS : ETH_SS_PRIV_FLAGS).size());
        if (i->data[0] == 0) i->sset_mask = 0;
        return 0;
    }
    case ETHTOOL_GSTRINGS: {
        auto *g = static_cast<ethtool_gstrings *>(cmd);
        const auto &set = set_of(g->string_set);
        std::vector<char> names(set.size() * 32);
        for (size_t i = 0; i < set.size(); i++) set[i].copy(&names[32 * i], 32);  // 32 bytes: no terminator
        g->len = static_cast<uint32_t>(set.size());
        return to_user(g->data, names.data(), names.size()) ? 0 : -1;
    }
    case ETHTOOL_GPFLAGS:
        static_cast<ethtool_value *>(cmd)->data = static_cast<uint32_t>(d.word);
        return d.word < 0 ? -1 : 0;
    case ETHTOOL_GSTATS: {
        auto *s = static_cast<ethtool_stats *>(cmd);
        std::vector<uint64_t> v = d.values;
        v.resize(v.size() + d.grow);
        s->n_stats = static_cast<uint32_t>(v.size());
        return to_user(s->data, v.data(), v.size() * 8) ? 0 : -1;
    }
    }
    return -1;
}

const std::string WAN = "enp16s0f0np0", LAN = "enp16s0f1np1";
const std::string PF_LLDP_OFF = "  priv-flags: MFP:off LinkPolling:on disable-fw-lldp:off(!) \n";

const std::vector<uint64_t> ONES = {1, 1, 1, 1, 1};
Driver i40e(std::vector<uint64_t> values = {0, 0, 0, 0, 0})
{
    return {"i40e", {"tx_packets", "rx_crc_errors", "port.link_XOFF_rx", "rx_unknown_protocol", "rx_dropped"},
            values, {"MFP", "LinkPolling", "disable-fw-lldp"}, 0x2};
}

// The page over recorded drivers; a fixture /sys says which interfaces exist.
struct IfdetailPage : ::testing::Test {
    TempDir t;
    EthDev nics[MAX_NICS] = {};
    int32_t n_nics = 0;
    void SetUp() override
    {
        fsroot_set(t.path.c_str());
        eth_set_request_fn(replay);
    }
    void TearDown() override { nics_rediscover(nics, &n_nics, "", ""); }  // frees the records
    void ifaces(const std::vector<std::string> &names)
    {
        std::filesystem::remove_all(t.path + "/sys");
        g_n_ifaces = 0;
        for (const auto &n : names) add_iface((t.mkdir("sys/class/net/" + n), n.c_str()));
    }
    std::string sample()
    {
        sb_clear(&PAGES[1]);
        alerts_clear();
        ifdetail_collect(nics, n_nics);
        render_interfaces(nics, n_nics);
        ctr_roll();
        return PAGES[1].buf;
    }
    // What follows the qdisc line of one interface's block.
    static std::string driver_rows(const std::string &page, const std::string &ifname)
    {
        size_t at = page.find('\n', page.find("  qdisc drops: ", page.find("=== " + ifname + " ===\n"))) + 1;
        return page.substr(at, page.find("\n=== ", at) - at);
    }
};

// Each failing or oversized reply empties only its own fields: the header and
// the first interface's rows over one sample with every statistic at 1.
TEST_F(IfdetailPage, header_and_rows_keep_what_each_driver_reply_gave)
{
    Driver many = i40e(std::vector<uint64_t>(1025, 1)), flags33 = i40e(ONES), noword = i40e(ONES),
           nodrv = i40e(ONES), grown = i40e(ONES);
    many.stats.resize(1025, "rx_x_drops");
    flags33.pflags.resize(33, "f");
    noword.word = -1;
    nodrv.driver = nullptr;
    grown.grow = 3;  // values written past the count asked for fail the request instead of landing
    // Not tx_packets; XOFF in capitals matches.
    const std::string ALL = "  rx_crc_errors                     : 1\n  port.link_XOFF_rx                 : 1 (pause "
                            "frames FROM switch)\n  rx_unknown_protocol               : 1 (i40e: usually LLDP/unknown "
                            "ethertype)\n  rx_dropped                        : 1\n";
    const std::string W = "enp16s0f0np0(i40e)";
    const std::tuple<std::vector<std::string>, std::string, Driver, std::string, std::string> rows[] = {
        {{WAN, LAN}, LAN, i40e(ONES), W + " enp16s0f1np1(i40e)", PF_LLDP_OFF + ALL},
        {{WAN}, WAN, i40e(ONES), W, PF_LLDP_OFF + ALL},
        {{LAN}, LAN, i40e(ONES), "enp16s0f1np1(i40e)", PF_LLDP_OFF},
        {{}, LAN, i40e(ONES), "", ""},
        {{WAN}, LAN, many, W, PF_LLDP_OFF},
        {{WAN}, LAN, flags33, W, ALL},
        {{WAN}, LAN, noword, W, ALL},
        {{WAN}, LAN, nodrv, "enp16s0f0np0()", PF_LLDP_OFF + ALL},
        {{WAN}, LAN, Driver{"veth", {}, {}, {}, -1}, "enp16s0f0np0(veth)", ""},
        {{WAN}, LAN, grown, W, PF_LLDP_OFF},
    };
    for (const auto &[present, lan, drv, header, first_rows] : rows) {
        g_drivers = {{WAN, drv}, {LAN, i40e()}};
        ifaces(present);
        nics_rediscover(nics, &n_nics, WAN.c_str(), lan.c_str());
        const std::string page = sample();
        EXPECT_EQ(page.substr(0, page.find('\n')), "=== Interface detail ===  nics[" + header + "]");
        if (!present.empty()) { EXPECT_EQ(driver_rows(page, present[0]), first_rows) << header; }
    }
    EthStats st;  // the grown reply ran into the guard after the values
    EXPECT_EQ(eth_gstats(WAN.c_str(), 5, &st), -1);
    EXPECT_FALSE(to_user(static_cast<char *>(st.rb.req) + 8 + 5 * 8, "x", 1));
}

// tx_packets, rx_crc_errors, port.link_XOFF_rx, rx_unknown_protocol and rx_dropped
// over four samples: the rows and alerts of each.
TEST_F(IfdetailPage, driver_rows_appear_once_non_zero_with_hints_and_alerts)
{
    const std::string DROP = "  rx_dropped                        : 5\n", CRC = "  rx_crc_errors                     : ";
    const std::string XOFF = "  port.link_XOFF_rx                 : 2 (+2", XH = " (pause frames FROM switch)\n";
    const std::string UNK = "  rx_unknown_protocol               : 7 (+7", UH = " (i40e: usually LLDP/unknown ethertype)\n";
    const std::tuple<std::vector<uint64_t>, std::string, std::string> samples[] = {
        {{100, 0, 0, 0, 5}, DROP, ""},
        {{200, 3, 0, 7, 5}, CRC + "3 (+3/2s, +3 total)\n" + UNK + "/2s, +7 total)" + UH + DROP,
         "enp16s0f0np0/rx_crc_errors +3 | enp16s0f0np0/rx_unknown_protocol +7"},
        {{300, 0, 0, 7, 5}, CRC + "0\n" + UNK + " since start)" + UH + DROP, ""},
        {{400, 0, 2, 7, 5}, XOFF + "/2s, +2 total)" + XH + UNK + " since start)" + UH + DROP, "enp16s0f0np0/port.link_XOFF_rx +2"},
    };
    g_drivers = {{WAN, i40e()}, {LAN, i40e()}, {"br0", Driver{"bridge", {"rx_dropped"}, {9}, {}, -1}}};
    g_drivers[LAN].word = 0x6;
    ifaces({WAN, LAN, "br0"});
    nics_rediscover(nics, &n_nics, WAN.c_str(), LAN.c_str());
    for (const auto &[values, rows, alerts] : samples) {
        g_drivers[WAN].values = values;
        const std::string page = sample();
        EXPECT_EQ(driver_rows(page, WAN), PF_LLDP_OFF + rows);
        EXPECT_EQ(driver_rows(page, LAN), "  priv-flags: MFP:off LinkPolling:on disable-fw-lldp:on \n");
        EXPECT_EQ(driver_rows(page, "br0"), "");  // not a NIC
        EXPECT_STREQ(ALERTS.buf, alerts.c_str());
    }
    colors_set(true);
    EXPECT_NE(sample().find(std::string(YEL) + "disable-fw-lldp:off(!)" + RST), std::string::npos);
}

TEST_F(IfdetailPage, rediscovery_after_changing_the_wan_frees_the_old_records)
{
    g_drivers = {{WAN, i40e()}, {LAN, i40e()}};
    g_drivers[LAN].stats.resize(1000, "rx_q_drops");
    ifaces({WAN, LAN});
    nics_rediscover(nics, &n_nics, WAN.c_str(), LAN.c_str());
    const size_t before = heap_in_use();
    for (int i = 0; i < 200; i++) {
        nics_rediscover(nics, &n_nics, (i % 2 ? WAN : LAN).c_str(), (i % 2 ? LAN : WAN).c_str());
        ASSERT_EQ(n_nics, 2);
        EXPECT_STREQ(nics[0].name, (i % 2 ? WAN : LAN).c_str());
    }
    EXPECT_LT(heap_in_use(), before + 4096);
}

// Each counter its own value, so none can show in another's place; then the
// qdisc's colour and hint by kind.
TEST_F(IfdetailPage, link_counters_then_qdisc_colour_and_fq_hint_by_kind)
{
    IfSnap &s = g_snap[0];
    uint64_t v = 1;
    for (uint64_t *f : {&s.rx_errors, &s.rx_dropped, &s.rx_missed_errors, &s.rx_fifo_errors, &s.rx_over_errors,
                        &s.rx_crc_errors, &s.rx_frame_errors, &s.tx_errors, &s.tx_dropped, &s.tx_fifo_errors,
                        &s.tx_carrier_errors, &s.collisions, &s.qdisc_drops, &s.carrier_changes, &s.multicast})
        *f = v++;
    ifaces({"x0"});
    EXPECT_NE(sample().find(" mtu:0  carrier_changes:14\n  rate : rx 0B/s (0 pps)   tx 0B/s (0 pps)   mcast total:15\n"
                            "  rx   : err:1  drop:2  missed:3  fifo:4  overrun:5  crc:6  frame:7\n"
                            "  tx   : err:8  drop:9  fifo:10  carrier:11  colls:12\n  qdisc drops: 13\n"), std::string::npos);
    colors_set(true);
    const std::string HINT = "(fq flow_limit on a router: bursty forwarded flows get clipped -- use fq_codel)";
    const std::tuple<const char *, const char *, bool> rows[] = {
        {"fq", YEL, true}, {"mq/fq", YEL, true}, {"mq/fq_codel", GRN, false}, {"noqueue", DIM, false}, {"fqx", DIM, false},
    };
    for (const auto &[kind, colour, hint] : rows) {
        std::snprintf(g_snap[0].qdisc, sizeof g_snap[0].qdisc, "%s", kind);
        const std::string page = sample();
        EXPECT_NE(page.find(" qdisc:" + (colour + std::string(kind)) + RST + "  carrier_changes:"), std::string::npos) << page;
        EXPECT_EQ(page.find(HINT) != std::string::npos, hint) << page;
    }
}

// v0 here (4 queues possible, 1 in use, an XDP program dropping everything) and v1
// in b sending to it. The page must agree with the kernel's own reports.
TEST_F(IfdetailPage, real_veth_page_matches_ethtool_and_survives_more_queues)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    if (sh("{ command -v clang && command -v ethtool; } >/dev/null") != 0) GTEST_SKIP() << "needs clang and ethtool";
    fsroot_set("");
    eth_set_request_fn(nullptr);
    t.write("drop.c", "__attribute__((section(\"xdp\"), used)) int drop(void *ctx) { return 1; }\n"
                      "char _license[] __attribute__((section(\"license\"), used)) = \"GPL\";\n");
    NetnsGuard a{"twifdA"}, b{"twifdB"};
    for (auto *ns : {&a, &b}) ns->run("sysctl -qw net.ipv6.conf.default.disable_ipv6=1");
    // XDP on v0 needs at least as many receive queues as v1 transmits on.
    ASSERT_EQ(sh("set -e; A=" + a.name + "; B=" + b.name + "; cd " + t.path + R"(
        clang -O2 -target bpf -c drop.c -o drop.o
        ip -n $A link add v0 numrxqueues 4 numtxqueues 4 type veth peer name v1 netns $B
        ip netns exec $B ethtool -L v1 rx 1 tx 1
        ip netns exec $A ethtool -L v0 rx 1 tx 1
        ip -n $A addr add 10.9.1.1/24 dev v0 && ip -n $B addr add 10.9.1.2/24 dev v1
        ip -n $A link set v0 up && ip -n $B link set v1 up
        ip -n $B neigh replace 10.9.1.1 lladdr $(ip netns exec $A cat /sys/class/net/v0/address) dev v1
        ip -n $A link set dev v0 xdpdrv obj drop.o sec xdp)"), 0);
    const std::string verdict = in_netns(a.name, [&] {
        g_ethsock = ::socket(AF_INET, SOCK_DGRAM, 0);
        g_wan = g_lan = "v0";  // named interfaces that exist: no note of a missing one
        ifaces({"v0"});
        nics_rediscover(nics, &n_nics, "v0", "v1");  // v1 is not here
        auto kernel = [](const std::string &cmd) { return sh_out(cmd + " | tr -d '\\n'"); };
        auto names_match_ethtool = [&] {
            std::string got;
            char n[33];
            for (uint32_t i = 0; i < nics[0].n_stats; i++) got += (eth_name_at(nics[0].stat_names, i, n), n) + std::string("\n");
            EXPECT_EQ(got, sh_out("ethtool -S v0 | sed -n 's/^ \\+\\([^:]*\\):.*/\\1/p'"));
        };
        auto take = [&] { return ifsnap_take(0, "v0", 2.0), sample(); };
        const std::string cc = kernel("cat /sys/class/net/v0/carrier_changes");
        names_match_ethtool();
        char *got = nullptr;  // a count short of the driver's, or no such interface, leaves it alone
        EXPECT_EQ(eth_gstrings("v0", ETH_SS_STATS, nics[0].n_stats - 1, &got), -1);
        EXPECT_EQ(eth_gstrings("nosuch0", ETH_SS_STATS, nics[0].n_stats, &got), -1);
        EXPECT_EQ(got, nullptr);
        EXPECT_EQ(take(), "=== Interface detail ===  nics[v0(veth)]\n\n=== v0 ===\n"
                          "  link : up 10000Mb/s mtu:1500 qdisc:noqueue  carrier_changes:" + cc + "\n"
                          "  rate : rx 0B/s (0 pps)   tx 0B/s (0 pps)   mcast total:0\n"
                          "  rx   : err:0  drop:0  missed:0  fifo:0  overrun:0  crc:0  frame:0\n"
                          "  tx   : err:0  drop:0  fifo:0  carrier:0  colls:0\n  qdisc drops: 0\n");

        b.run("bash -c 'for i in {1..50}; do printf x >/dev/udp/10.9.1.1/9; done; ip link set v1 down; ip link set v1 up'");
        std::string page = take();
        const std::string cc2 = kernel("cat /sys/class/net/v0/carrier_changes");
        const std::string drops = kernel("ethtool -S v0 | awk '$1 == \"rx_queue_0_xdp_drops:\" {print $2}'");
        EXPECT_NE(page.find("carrier_changes:" + cc2 + " (+2/2s, +2 total) << LINK FLAP\n"), std::string::npos) << page;
        const std::string row = "  rx_queue_0_xdp_drops              : " + drops, kept = row + " (+" + drops + " since start)\n";
        EXPECT_EQ(driver_rows(page, "v0"), row + " (+" + drops + "/2s, +" + drops + " total)\n");
        EXPECT_STREQ(ALERTS.buf, ("v0/carrier_changes +2 | v0/rx_queue_0_xdp_drops +" + drops).c_str());
        page = take();  // the flap is over: no marker, no alert
        EXPECT_NE(page.find("carrier_changes:" + cc2 + " (+2 since start)\n"), std::string::npos) << page;
        EXPECT_EQ(driver_rows(page, "v0"), kept);
        EXPECT_STREQ(ALERTS.buf, "");

        // 10 statistics become 37 under the running monitor.
        EXPECT_EQ(sh("ethtool -L v0 rx 4 tx 4"), 0);
        EthStats st;
        uint32_t answered = 10;
        errno = 0;
        EXPECT_EQ(eth_gstats("v0", 10, &st, &answered), -1);
        // Older kernels write all 37 and fault on the guard page; newer ones answer with none.
        EXPECT_TRUE(errno == EFAULT || answered == 0) << errno << " " << answered;
        EXPECT_EQ(driver_rows(take(), "v0"), "");
        EXPECT_EQ(driver_rows(take(), "v0"), kept);
        names_match_ethtool();  // all 37
        return std::string(::testing::Test::HasFailure() ? "failed" : "ok");
    });
    EXPECT_EQ(verdict, "ok");
}

}  // namespace
