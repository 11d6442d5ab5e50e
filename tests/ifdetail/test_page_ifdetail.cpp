#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <linux/ethtool.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "ifdetail/ethtool.hpp"
#include "ifdetail/ifdetail_model.hpp"
#include "ifdetail/ifsnap.hpp"
#include "ifdetail/page_ifdetail.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"
#include "topology/ifaces.hpp"

// The model's records are set with designated initializers naming only what a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Name blocks: 32-byte slots in driver order.
char STATS[5][32] = {"tx_packets", "rx_crc_errors", "port.link_XOFF_rx", "rx_unknown_protocol", "rx_dropped"};
char PFLAGS[3][32] = {"MFP", "LinkPolling", "disable-fw-lldp"};

// Page 2 from its model alone: five interfaces that differ in every field the
// page shows, the WAN and LAN records as discovery leaves them (all but
// tx_packets watched), and what each sample read of their drivers.
struct InterfacesPage : ::testing::Test {
    EthDev nics[MAX_NICS] = {
        {.name = "enp16s0f0np0", .n_stats = 5, .stat_names = STATS[0], .n_watch = 4, .watch_idx = {1, 2, 3, 4},
         .n_pflags = 3, .pflag_names = PFLAGS[0], .pflags = 0x2, .pflags_ok = 1, .driver = "i40e"},
        {.name = "enp16s0f1np1", .n_stats = 5, .stat_names = STATS[0], .n_watch = 4, .watch_idx = {1, 2, 3, 4},
         .n_pflags = 3, .pflag_names = PFLAGS[0], .pflags = 0x6, .pflags_ok = 1, .driver = ""},
    };
    void SetUp() override
    {
        for (const char *n : {"enp16s0f0np0", "enp16s0f1np1", "br0", "x0", "y0"}) add_iface(n);
        g_nic_vals[0] = g_nic_vals[1] = {};
        g_role_missing[0] = g_role_missing[1] = false;
        g_ifs_here[0] = '\0';
        // Each counter its own value, so none can show in another's place; a link
        // of each kind of state and qdisc: colour, hint, no speed, no qdisc.
        g_snap[0] = {.rx_errors = 1, .tx_errors = 8, .rx_dropped = 2, .tx_dropped = 9, .rx_missed_errors = 3,
                     .rx_fifo_errors = 4, .rx_over_errors = 5, .rx_crc_errors = 6, .rx_frame_errors = 7,
                     .tx_fifo_errors = 10, .tx_carrier_errors = 11, .collisions = 12, .multicast = 15,
                     .carrier_changes = 14, .qdisc_drops = 13, .flags = 0x1003, .operstate = "up", .qdisc = "mq/fq_codel",
                     .speed = 10000, .mtu = 1500, .rx_bps = 1536, .tx_bps = 3, .rx_pps = 2, .tx_pps = 1};
        g_snap[1] = {.flags = 0x1003, .operstate = "up", .qdisc = "fq", .speed = 1000, .mtu = 1501};
        g_snap[2] = {.flags = 0x1, .operstate = "unknown", .qdisc = "fqx", .speed = -1, .mtu = 1502};
        g_snap[3] = {.flags = 0x1002, .operstate = "down", .qdisc = "mq/fq", .speed = -1, .mtu = 1503};
        g_snap[4] = {.speed = -1, .mtu = 1504};
    }
    std::string sample(const std::vector<uint64_t> &wan_values)
    {
        g_nic_vals[0].ok = true;
        std::copy(wan_values.begin(), wan_values.end(), g_nic_vals[0].v);
        sb_clear(&PAGES[1]);
        alerts_clear();
        render_interfaces(nics, MAX_NICS);
        ctr_roll();
        return PAGES[1].buf + std::string("-- alerts: ") + ALERTS.buf + "\n";
    }
};

// The first sample plain, then in colour: a link flap, a driver statistic rising
// and falling back, WAN and LAN missing, the flag word unread.
TEST_F(InterfacesPage, whole_pages_over_four_samples)
{
    EXPECT_EQ(sample({100, 0, 0, 0, 5}), fixture("ifdetail/fixtures/page2_first.txt"));
    colors_set(true);
    g_snap[0].carrier_changes += 2;
    g_nic_vals[1].ok = true;  // every value 0: no rows
    g_ifaces_left_out = 1;
    EXPECT_EQ(sample({200, 3, 0, 7, 5}), fixture("ifdetail/fixtures/page2_second.txt"));
    g_role_missing[0] = g_role_missing[1] = true;
    std::strcpy(g_ifs_here, "br0 lo x0");
    EXPECT_EQ(sample({300, 0, 0, 7, 5}), fixture("ifdetail/fixtures/page2_third.txt"));
    g_role_missing[0] = false;
    g_ifs_here[0] = '\0';
    nics[0].pflags_ok = 0;
    EXPECT_EQ(sample({400, 0, 2, 7, 5}), fixture("ifdetail/fixtures/page2_fourth.txt"));
}

// Drivers a veth cannot stand in for, as their replies to what discovery asks:
// one list of names for both sets; no driver name or a negative flag word is a
// failing request.
struct Driver {
    const char *driver;
    std::vector<std::string> names;
    int64_t word;
};
const Driver *g_driver;

int replay(const char *, void *cmd)
{
    const Driver &d = *g_driver;
    switch (*static_cast<uint32_t *>(cmd)) {
    case ETHTOOL_GDRVINFO:
        return d.driver ? (std::snprintf(static_cast<ethtool_drvinfo *>(cmd)->driver, 32, "%s", d.driver), 0) : -1;
    case ETHTOOL_GSSET_INFO:
        static_cast<ethtool_sset_info *>(cmd)->data[0] = static_cast<uint32_t>(d.names.size());
        return 0;
    case ETHTOOL_GSTRINGS:
        for (size_t i = 0; i < d.names.size(); i++)
            d.names[i].copy(reinterpret_cast<char *>(static_cast<ethtool_gstrings *>(cmd)->data) + 32 * i, 32);
        return 0;
    case ETHTOOL_GPFLAGS:
        static_cast<ethtool_value *>(cmd)->data = static_cast<uint32_t>(d.word);
        return d.word < 0 ? -1 : 0;
    }
    return -1;
}

// Each failing or oversized reply empties only its own part of the record:
// "driver: watched names; flag count and word".
TEST(nic_readers, discovery_keeps_what_each_driver_reply_gave)
{
    const std::vector<std::string> N = {"tx_packets", "port.link_XOFF_rx"};  // not tx_packets; XOFF in capitals
    const std::pair<Driver, std::string> rows[] = {
        {{"i40e", N, 2}, "i40e: port.link_XOFF_rx; 2 2"},
        {{nullptr, N, 2}, ": port.link_XOFF_rx; 2 2"},
        {{"i40e", N, -1}, "i40e: port.link_XOFF_rx; 0 0"},
        {{"i40e", std::vector<std::string>(33, "f"), 3}, "i40e:; 0 0"},  // more flags than a word holds
    };
    eth_set_request_fn(replay);
    for (const auto &[driver, want] : rows) {
        g_driver = &driver;
        EthDev d{};
        ethdev_discover(&d, "eth0");
        std::string got = std::string(d.driver) + ":";
        char name[33];
        for (int32_t w = 0; w < d.n_watch; w++) got += " " + std::string((eth_name_at(d.stat_names, d.watch_idx[w], name), name));
        EXPECT_EQ(got + "; " + std::to_string(d.n_pflags) + " " + std::to_string(d.pflags), want);
        ethdev_release(&d);
    }
}

// A request area ends flush against an inaccessible page, so a driver whose
// count grew since it was asked fails the request instead of writing past it.
TEST(nic_readers, request_area_ends_at_a_guard_page)
{
    EthReqBuf b;
    ASSERT_EQ(eth_req_alloc(&b, 48), 0);
    EXPECT_EQ(std::string(static_cast<char *>(b.req), 48), std::string(48, '\0'));
    int p[2];  // a pipe's write copies the byte after the area: EFAULT
    ASSERT_EQ(::pipe(p), 0);
    EXPECT_EQ(::write(p[1], static_cast<char *>(b.req) + 48, 1), -1);
    ::close(p[0]);
    ::close(p[1]);
}

// v0 here (4 queues possible, 1 in use, an XDP program dropping everything) with
// v1 in b sending to it, and w0 of 128 queues: 1153 statistics, more than a
// record holds. The records and values read must agree with ethtool's own.
TEST(nic_readers, real_veths_agree_with_ethtool)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    if (sh("{ command -v clang && command -v ethtool; } >/dev/null") != 0) GTEST_SKIP() << "needs clang and ethtool";
    TempDir t;
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
        ip -n $A link add w0 numrxqueues 128 numtxqueues 128 type veth peer name w1
        ip -n $A addr add 10.9.1.1/24 dev v0 && ip -n $B addr add 10.9.1.2/24 dev v1
        ip -n $A link set v0 up && ip -n $B link set v1 up
        ip -n $B neigh replace 10.9.1.1 lladdr $(ip netns exec $A cat /sys/class/net/v0/address) dev v1
        ip -n $A link set dev v0 xdpdrv obj drop.o sec xdp)"), 0);
    const std::string verdict = in_netns(a.name, [&] {
        g_ethsock = ::socket(AF_INET, SOCK_DGRAM, 0);
        EthDev nics[MAX_NICS] = {};
        int32_t n = 0;
        // WAN first; a missing or repeated name takes no record; w0's list is too long to keep.
        const std::tuple<const char *, const char *, std::string> pairs[] = {
            {"lo", "v0", "lo:0 v0:10 "}, {"nosuch", "v0", "v0:10 "}, {"v0", "v0", "v0:10 "}, {"", "", ""},
            {"w0", "nosuch", "w0:0 "}, {"v0", "lo", "v0:10 lo:0 "},
        };
        for (const auto &[wan, lan, want] : pairs) {
            nics_rediscover(nics, &n, wan, lan);
            std::string got;
            for (int32_t i = 0; i < n; i++) got += nics[i].name + (":" + std::to_string(nics[i].n_stats) + " ");
            EXPECT_EQ(got, want);
        }
        const size_t before = mallinfo2().uordblks;  // under ASan, its leak check at exit does this
        for (int i = 0; i < 200; i++) nics_rediscover(nics, &n, "v0", "lo");
        EXPECT_LT(mallinfo2().uordblks, before + 4096) << "rediscovery kept the old records' names";
        char *got = nullptr;  // a count short of the driver's, or no such interface, leaves it alone
        EXPECT_EQ(eth_gstrings("v0", ETH_SS_STATS, nics[0].n_stats - 1, &got), -1);
        EXPECT_EQ(eth_gstrings("nosuch0", ETH_SS_STATS, nics[0].n_stats, &got), -1);
        EXPECT_EQ(got, nullptr);

        // Every statistic's name and value, as ethtool shows them.
        const auto values = [&] {
            std::string r;
            char name[33];
            for (uint32_t i = 0; i < nics[0].n_stats; i++)
                r += (eth_name_at(nics[0].stat_names, i, name), name) + (": " + std::to_string(g_nic_vals[0].v[i])) + "\n";
            return r;
        };
        g_wan = "v0";
        g_lan = "v1";
        b.run("bash -c 'for i in {1..50}; do printf x >/dev/udp/10.9.1.1/9; done'");
        ifdetail_collect(nics, n);
        EXPECT_TRUE(g_nic_vals[0].ok);
        EXPECT_NE(values().find("rx_queue_0_xdp_drops: 50\n"), std::string::npos) << values();
        EXPECT_EQ(values(), sh_out("ethtool -S v0 | sed -n 's/^ \\+//p'"));
        EXPECT_EQ(std::to_string(g_role_missing[0]) + std::to_string(g_role_missing[1]) + g_ifs_here, "01lo v0 w0 w1");

        // 10 statistics become 37 under the running monitor.
        EXPECT_EQ(sh("ethtool -L v0 rx 4 tx 4"), 0);
        EthStats st;
        uint32_t answered = 10;
        errno = 0;
        EXPECT_EQ(eth_gstats("v0", 10, &st, &answered), -1);
        // Older kernels write all 37 and fault on the guard page; newer ones answer with none.
        EXPECT_TRUE(errno == EFAULT || answered == 0) << errno << " " << answered;
        ifdetail_collect(nics, n);
        EXPECT_FALSE(g_nic_vals[0].ok) << "values read against the old names";
        ifdetail_collect(nics, n);  // examined again
        EXPECT_EQ(nics[0].n_stats, 37u);
        EXPECT_EQ(values(), sh_out("ethtool -S v0 | sed -n 's/^ \\+//p'"));
        nics_rediscover(nics, &n, "", "");  // frees the records
        return std::string(::testing::Test::HasFailure() ? "failed" : "ok");
    });
    EXPECT_EQ(verdict, "ok");
}

}  // namespace
