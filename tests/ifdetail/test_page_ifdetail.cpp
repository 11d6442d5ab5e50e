#include <gtest/gtest.h>

#include <cstring>
#include <linux/ethtool.h>
#include <unistd.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "ifdetail/ethtool.hpp"
#include "ifdetail/ifdetail_model.hpp"
#include "ifdetail/ifsnap.hpp"
#include "ifdetail/page_ifdetail.hpp"
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
    g_ifaces_left_out = 8;
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
// "driver: watched names; flag count and word". The requests go in areas that
// end flush against an inaccessible page, so a driver whose count grew since it
// was asked fails the request instead of writing past it.
TEST(nic_readers, discovery_keeps_what_each_driver_reply_gave)
{
    EthReqBuf b;
    ASSERT_EQ(eth_req_alloc(&b, 48), 0);
    EXPECT_EQ(std::string(static_cast<char *>(b.req), 48), std::string(48, '\0'));
    int p[2];  // a pipe's write copies the byte after the area: EFAULT
    ASSERT_EQ(::pipe(p), 0);
    EXPECT_EQ(::write(p[1], static_cast<char *>(b.req) + 48, 1), -1);
    ::close(p[0]);
    ::close(p[1]);

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
        for (int32_t w = 0; w < d.n_watch; w++)
            got += " " + std::string((eth_name_at(d.stat_names, d.watch_idx[w], name), name));
        EXPECT_EQ(got + "; " + std::to_string(d.n_pflags) + " " + std::to_string(d.pflags), want);
        ethdev_release(&d);
    }
}

}  // namespace
