#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <linux/ethtool.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include "ifdetail/ifdetail_model.hpp"
#include "ifdetail/ifsnap.hpp"
#include "ifdetail/page_ifdetail.hpp"
#include "ifdetail/tc_qdisc.hpp"
#include "support/fixture_rows.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"
#include "support/veth_pair.hpp"
#include "topology/ifaces.hpp"
#include "topology/wg_discover.hpp"

// The model's records are set with designated initializers naming only what a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Name blocks: 32-byte slots in driver order.
char STATS[5][32] = {"tx_packets", "rx_crc_errors", "port.link_XOFF_rx", "rx_unknown_protocol", "rx_dropped"};
char PFLAGS[3][32] = {"MFP", "LinkPolling", "disable-fw-lldp"};

// Page 2 over five interfaces that differ in every field the page shows, read
// from files as a sample reads them; the WAN and LAN records as discovery leaves
// them (all but tx_packets watched), and what each sample read of their drivers.
struct InterfacesPage : ::testing::Test {
    TempDir sys;
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
        // The snapshots as a sample reads them from sysfs and tc; br0 is not the WireGuard device br.
        g_n_wgdevs = 1;
        std::strcpy(g_wgdevs[0], "br");
        fsroot_set(sys.path.c_str());
        ::setenv("PATH", TW_SOURCE_DIR "/tests/ifdetail/fixtures/page2_tc:/usr/bin:/bin", 1);
        ifsnap_take_all(g_ifaces, g_n_ifaces, 1.0);
        for (const FixtureRow &r : fixture_rows("ifdetail/fixtures/page2_sysfs.tsv", 2))
            sys.write("sys/class/net/" + r[0], r[1]);
        ifsnap_take_all(g_ifaces, g_n_ifaces, 1.0);
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

    eth_set_request_fn(replay);
    for (const FixtureRow &r : fixture_rows("ifdetail/fixtures/driver_replies.tsv", 4)) {
        Driver driver{r[0] == "-" ? nullptr : r[0].c_str(), {}, std::stoll(r[2])};
        std::istringstream in(r[1]);
        for (std::string w; in >> w;) driver.names.push_back(w);
        g_driver = &driver;
        EthDev d{};
        ethdev_discover(&d, "eth0");
        std::string got = std::string(d.driver) + ":";
        char name[33];
        for (int32_t w = 0; w < d.n_watch; w++)
            got += " " + std::string((eth_name_at(d.stat_names, d.watch_idx[w], name), name));
        EXPECT_EQ(got + "; " + std::to_string(d.n_pflags) + " " + std::to_string(d.pflags), r[3]);
        ethdev_release(&d);
    }
}

// Odd, cut and hostile listings; real ones come from the qdisc set-ups below.
TEST(tc_qdisc, root_drops_and_kinds_of_cut_and_hostile_listings)
{
    for (const FixtureRow &c : fixture_rows("ifdetail/fixtures/tc_listings.tsv", 4)) {
        std::string names = c[2];  // the blanks between them become the ends of the strings
        std::vector<const char *> list;
        for (char *w = std::strtok(names.data(), " "); w; w = std::strtok(nullptr, " ")) list.push_back(w);
        TcListing ls;
        tc_listing_init(&ls, list.data(), static_cast<int>(list.size()));
        tc_listing_text(&ls, c[1]);
        std::string got;
        for (int i = 0; i < ls.n; i++) {
            char kinds[64] = "?";
            tc_listing_kinds(&ls, i, kinds, sizeof kinds);
            got += (i ? "|" : "") + std::to_string(tc_listing_drops(&ls, i)) + " " + kinds;
        }
        EXPECT_EQ(got, c[3]) << c[0];
    }
}

// a0 (10.9.0.1) here pairs with pa0 in b, each qdisc set-up k with pk (10.9.k.2),
// v0 (10.9.9.1, 4 queues possible, 1 in use, an XDP program dropping everything)
// with pv0; w0 of 128 queues has 1153 driver statistics, more than a NIC record
// holds. IPv6 off.
TEST(ifsnap_netns, snapshots_and_nic_records_match_sysfs_tc_ethtool_and_the_traffic_sent)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    if (sh("{ command -v clang && command -v ethtool; } >/dev/null") != 0) GTEST_SKIP() << "needs clang and ethtool";
    // dev out in drops kinds set-up
    const std::vector<FixtureRow> rigs = fixture_rows("ifdetail/fixtures/qdisc_rigs.tsv", 6);
    TempDir d;
    NetnsGuard a{"twsnapA"}, b{"twsnapB"};
    for (auto *ns : {&a, &b})
        ns->run("sysctl -qw net.ipv6.conf.default.disable_ipv6=1 net.ipv4.icmp_ratelimit=0");
    std::string setup = "set -e\n" + quiet_veth(a.name, b.name, "a0", "10.9.0", 20) +
                        quiet_veth(a.name, b.name, "v0", "10.9.9", 30, "numrxqueues 4 numtxqueues 4") + "A=" + a.name +
                        " B=" + b.name + " F=" TW_SOURCE_DIR "/tests/ifdetail/fixtures; cd " + d.path +
                        "; . $F/snap_rig.sh\n";
    for (size_t k = 1; k <= rigs.size(); k++) {
        const std::string &dev = rigs[k - 1][0];
        setup += quiet_veth(a.name, b.name, dev, "10.9." + std::to_string(k), static_cast<int>(k), "numtxqueues 4") +
                 "D=" + dev + "; ip netns exec $A sh -c \"" + rigs[k - 1][5] + "\"\n";
    }
    ASSERT_EQ(sh(setup), 0);
    const auto send = [](const NetnsGuard &ns, int n, const std::string &to) {
        const std::string loop = "for i in $(seq " + std::to_string(n) + "); do printf %100s >/dev/udp/" + to + "/9; done";
        return ns.run("bash -c '" + loop + "' 2>/dev/null");
    };
    std::string want;
    for (size_t k = 1; k <= rigs.size(); k++) {
        const FixtureRow &r = rigs[k - 1];
        send(a, std::stoi(r[1]), "10.9." + std::to_string(k) + ".2");
        send(b, std::stoi(r[2]), "10.9." + std::to_string(k) + ".1");
        // What `tc -s` says the root qdiscs dropped (the egress root's line and the ingress one's), awaited:
        // ingress drops happen in the receiving softirq, a moment after the send.
        const std::string tc_root = "tc -n " + a.name + " -s qdisc show dev " + r[0] + " | awk '/^qdisc/ {r = / root "
                                    "| parent ffff:fff1 /} r && /Sent/ {sub(/.*dropped /, \"\"); s += $0; r = 0} "
                                    "END {print s + 0}'";
        EXPECT_TRUE(wait_for("[ $(" + tc_root + ") = " + r[3] + " ]", 5)) << r[0] << " dropped less";
        want += r[0] + " " + r[3] + " " + r[4] + "\n";
    }
    ::chmod(d.write("fake/tc", "#!/bin/sh\nprintf '%s\\n' \"$@\" >>" + d.path + "/argv\n"
                             "printf 'qdisc htb 1: dev w;id>pwn root\\n Sent (dropped 5,\\n'\n").c_str(), 0755);

    // The checks run in a child inside the namespace, which says "ok" when none failed.
    const std::string verdict = in_netns(a.name, [&] {
        const IfSnap &s = g_snap[0];
        // 20 datagrams of 100 bytes to a closed port: 142-byte frames out, and b answers
        // each with a 170-byte port-unreachable frame, awaited (at most 5 s). Nothing
        // else passes the pair.
        ifsnap_take(0, "a0", 2.0);
        ctr_roll();
        send(a, 20, "10.9.0.2");
        wait_for("[ $(cat /sys/class/net/a0/statistics/rx_packets) -ge 20 ]", 5);
        ifsnap_take(0, "a0", 2.0);
        EXPECT_EQ((std::array{s.tx_pps, s.tx_bps, s.rx_pps, s.rx_bps}),
                  (std::array{10.0, 20 * 142 / 2.0, 10.0, 20 * 170 / 2.0}));
        EXPECT_EQ(s.flags, 0x1083u);  // up, broadcast, noarp, multicast
        EXPECT_EQ(s.speed, 10000);

        // Root drops and kinds of every qdisc set-up, every tc child reaped. A name
        // with shell text in it is only data: tc is given none (see argv below).
        char names[MAX_SNAPS][16] = {"w;id>pwn", "a0"};
        const int n_names = static_cast<int>(rigs.size()) + 2;
        for (size_t i = 0; i < rigs.size(); i++) std::strcpy(names[i + 2], rigs[i][0].c_str());
        for (int i = 0; i < 100; i++) ifsnap_take_all(names, n_names, 2.0);
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a tc child was left unreaped";
        std::string got;
        for (int i = 2; i < n_names; i++)
            got += std::string(names[i]) + " " + std::to_string(g_snap[i].qdisc_drops) + " " + g_snap[i].qdisc + "\n";
        EXPECT_EQ(got, want);
        ::setenv("PATH", (d.path + "/fake").c_str(), 1);
        ifsnap_take_all(names, 2, 2.0);
        EXPECT_EQ(g_snap[0].qdisc_drops, 5u);
        ::setenv("PATH", d.path.c_str(), 1);  // no tc at all: nothing of the last one's answer stays
        ifsnap_take_all(names, 2, 2.0);
        EXPECT_EQ(g_snap[0].qdisc + std::to_string(g_snap[0].qdisc_drops) + " " + std::to_string(g_snap[1].mtu), "0 1500");

        // Renames and replacements under the kept sysfs directories; no descriptor piles up.
        // Counted in-process: a child listing them might also see its own pipe's write end.
        const auto fds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
        ::setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
        long open_fds = -1;
        for (const FixtureRow &r : fixture_rows("ifdetail/fixtures/renames.tsv", 3)) {
            EXPECT_EQ(sh(r[0]), 0);
            for (int i = 0; i < 3; i++) ifsnap_take(3, r[1].c_str(), 2.0);
            const IfSnap &c = g_snap[3];
            EXPECT_EQ(std::to_string(c.mtu) + " " + c.operstate + " " + std::to_string(c.speed), r[2]) << r[0];
            if (open_fds < 0) open_fds = fds();
            EXPECT_LE(fds(), open_fds) << r[0];
        }

        // NIC records: WAN first; a missing or repeated name takes none; w0's list is too long to keep.
        g_ethsock = ::socket(AF_INET, SOCK_DGRAM, 0);
        EthDev nics[MAX_NICS] = {};
        int32_t n = 0;
        const char *const pairs[][2] = {{"lo", "v0"}, {"nosuch", "v0"}, {"v0", "v0"}, {"w0", "nosuch"}};
        std::string records;
        for (const auto &[wan, lan] : pairs) {
            nics_rediscover(nics, &n, wan, lan);
            for (int32_t i = 0; i < n; i++)
                records += nics[i].name + ("(" + std::string(nics[i].driver) + "):" + std::to_string(nics[i].n_stats) + " ");
            records += "| ";
        }
        EXPECT_EQ(records, "lo():0 v0(veth):10 | v0(veth):10 | v0(veth):10 | w0(veth):0 | ");
        const size_t before = mallinfo2().uordblks;  // ASan's allocator keeps its own books: checked in plain builds
        for (int i = 0; i < 200; i++) nics_rediscover(nics, &n, "v0", "lo");
        EXPECT_LT(mallinfo2().uordblks, before + 4096) << "rediscovery kept the old records' names";
        char *block = nullptr;  // a count short of the driver's, or no such interface, leaves it alone
        EXPECT_EQ(eth_gstrings("v0", ETH_SS_STATS, nics[0].n_stats - 1, &block), -1);
        EXPECT_EQ(eth_gstrings("nosuch0", ETH_SS_STATS, nics[0].n_stats, &block), -1);
        EXPECT_EQ(block, nullptr);

        // Every statistic's name and value as collected, and as ethtool shows them.
        const auto values = [&] {
            std::string r;
            char name[33];
            for (uint32_t i = 0; i < nics[0].n_stats; i++)
                r += (eth_name_at(nics[0].stat_names, i, name), name) + (": " + std::to_string(g_nic_vals[0].v[i])) + "\n";
            return r;
        };
        g_wan = "v0";
        g_lan = "pv0";
        send(b, 50, "10.9.9.1");
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
        EXPECT_EQ(values(), sh_out("ethtool -S v0 | sed -n 's/^ \\+//p'"));
        const std::string roles = std::to_string(g_role_missing[0]) + std::to_string(g_role_missing[1]) + g_ifs_here;
        EXPECT_EQ(roles.substr(0, 10), "01a0 bf c1");
        nics_rediscover(nics, &n, "", "");  // frees the records
        return std::string(::testing::Test::HasFailure() ? "failed" : "ok");
    });
    EXPECT_EQ(verdict, "ok");
    EXPECT_EQ(read_whole_file(d.path + "/argv"), "-s\nqdisc\nshow\n");  // one run, no name on its command line
}

}  // namespace
