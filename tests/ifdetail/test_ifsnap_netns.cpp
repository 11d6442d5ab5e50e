#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/ethtool.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ethtool.hpp"
#include "ifdetail/ifsnap.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"

namespace {

#define SKIP_WITHOUT_NETNS() \
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces"

// Namespace A holds a0 (10.9.0.1), its peer a1 (10.9.0.2) lives in B. IPv6 is off
// and the neighbours are fixed, so the only packets are the test's own.
struct Lab {
    NetnsGuard a{"twsnapA"}, b{"twsnapB"};
    Lab()
    {
        for (const NetnsGuard *ns : {&a, &b})
            ns->run("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 "
                    "net.ipv4.icmp_ratelimit=0");
        a.run("ip link add a0 type veth peer name a1 netns " + b.name);
        a.run("ip addr add 10.9.0.1/24 dev a0");
        b.run("ip addr add 10.9.0.2/24 dev a1");
        a.run("ip link set a0 up");
        b.run("ip link set a1 up");
        a.run("ip neigh add 10.9.0.2 lladdr " + b.out("cat /sys/class/net/a1/address").substr(0, 17) + " dev a0");
        b.run("ip neigh add 10.9.0.1 lladdr " + a.out("cat /sys/class/net/a0/address").substr(0, 17) + " dev a1");
    }
};

// n datagrams of 100 bytes from A to a closed port in B: 142-byte frames out,
// and B answers each with a 170-byte ICMP port-unreachable frame.
void udp_burst(int n)
{
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = inet_addr("10.9.0.2");
    char payload[100] = {};
    for (int i = 0; i < n; i++) (void)!::sendto(s, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    ::close(s);
    ::usleep(200000);
}

#define F(x) out += std::string(#x "=") + std::to_string(s.x) + "\n"
std::string dump(const IfSnap &s)
{
    std::string out;
    F(rx_bytes); F(tx_bytes); F(rx_packets); F(tx_packets); F(rx_errors); F(tx_errors); F(rx_dropped);
    F(tx_dropped); F(rx_missed_errors); F(rx_fifo_errors); F(rx_over_errors); F(rx_crc_errors);
    F(rx_frame_errors); F(tx_fifo_errors); F(tx_carrier_errors); F(collisions); F(multicast);
    F(carrier_changes); F(qdisc_drops); F(flags); F(speed); F(mtu); F(is_wg);
    F(rx_bps); F(tx_bps); F(rx_pps); F(tx_pps);
    return out + "operstate=" + s.operstate + "\nqdisc=" + s.qdisc + "\n";
}
#undef F

std::map<std::string, std::string> kv(const std::string &text)
{
    std::map<std::string, std::string> m;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.find('=') != std::string::npos) m[l.substr(0, l.find('='))] = l.substr(l.find('=') + 1);
    return m;
}

// One counter out of `ip -s -s -j link show`: dir is "rx" or "tx".
std::string ip_stat(const std::string &json, const std::string &dir, const std::string &key)
{
    size_t obj = json.find("\"" + dir + "\":{");
    size_t at = json.find("\"" + key + "\":", obj);
    if (obj == std::string::npos || at == std::string::npos || at > json.find('}', obj)) return "absent";
    at += key.size() + 3;
    return json.substr(at, json.find_first_not_of("0123456789", at) - at);
}

TEST(ifsnap_netns, statistics_match_ip_and_rates_match_traffic)
{
    SKIP_WITHOUT_NETNS();
    Lab lab;
    std::string got = in_netns(lab.a.name, [&] {
        g_nctrs = 0;
        ifsnap_take(0, "a0", 2.0);
        udp_burst(20);
        ctr_roll();
        ifsnap_take(0, "a0", 2.0);
        std::string out = dump(g_snap[0]);
        uint64_t cc = g_snap[0].carrier_changes;
        sh("ip -n " + lab.b.name + " link set a1 down");
        udp_burst(3);  // dropped by a0: its peer is down
        ifsnap_take(0, "a0", 2.0);
        out += "down_cc=" + std::to_string(g_snap[0].carrier_changes - cc) + "\n";
        sh("ip -n " + lab.b.name + " link set a1 up");
        ifsnap_take(0, "a0", 2.0);
        for (int i = 0; i < 40 && std::strcmp(g_snap[0].operstate, "up") != 0; i++) {  // set asynchronously
            ::usleep(50000);
            ifsnap_take(0, "a0", 2.0);
        }
        out += "up_cc=" + std::to_string(g_snap[0].carrier_changes - cc) + "\n";
        return out + "final:\n" + dump(g_snap[0]);
    });
    auto rates = kv(got.substr(0, got.find("final:")));
    auto snap = kv(got.substr(got.find("final:") + 7));
    ASSERT_EQ(snap.count("rx_bytes"), 1u) << got;
    EXPECT_EQ(rates["tx_pps"], "10.000000");
    EXPECT_EQ(rates["tx_bps"], std::to_string(20 * 142 / 2.0));
    EXPECT_EQ(rates["rx_pps"], "10.000000");
    EXPECT_EQ(rates["rx_bps"], std::to_string(20 * 170 / 2.0));
    EXPECT_EQ(rates["down_cc"], "1");
    EXPECT_EQ(rates["up_cc"], "2");

    std::string json = lab.a.out("ip -s -s -j link show dev a0");
    const char *rx[][2] = {{"rx_bytes", "bytes"}, {"rx_packets", "packets"}, {"rx_errors", "errors"},
                           {"rx_dropped", "dropped"}, {"rx_missed_errors", "missed_errors"},
                           {"rx_fifo_errors", "fifo_errors"}, {"rx_over_errors", "over_errors"},
                           {"rx_crc_errors", "crc_errors"}, {"rx_frame_errors", "frame_errors"},
                           {"multicast", "multicast"}};
    const char *tx[][2] = {{"tx_bytes", "bytes"}, {"tx_packets", "packets"}, {"tx_errors", "errors"},
                           {"tx_dropped", "dropped"}, {"tx_fifo_errors", "fifo_errors"},
                           {"tx_carrier_errors", "carrier_errors"}, {"collisions", "collisions"},
                           {"carrier_changes", "carrier_changes"}};
    for (auto &f : rx) EXPECT_EQ(snap[f[0]], ip_stat(json, "rx", f[1])) << f[0];
    for (auto &f : tx) EXPECT_EQ(snap[f[0]], ip_stat(json, "tx", f[1])) << f[0];
    EXPECT_EQ(snap["tx_dropped"], "3");
    EXPECT_EQ(snap["tx_packets"], "20");
    EXPECT_EQ(snap["flags"], std::to_string(0x1003));  // up, broadcast, multicast
    EXPECT_EQ(snap["mtu"], "1500");
    EXPECT_EQ(snap["speed"], "10000");
    EXPECT_EQ(snap["operstate"], "up");
    EXPECT_EQ(snap["qdisc"], "noqueue");
}

TEST(ifsnap_netns, qdisc_kinds_and_drops_match_tc)
{
    SKIP_WITHOUT_NETNS();
    Lab lab;
    lab.a.run("ip link add m0 numtxqueues 4 numrxqueues 4 type veth peer name m1");
    lab.a.run("tc qdisc add dev m0 root handle 1: mq");
    std::string got = in_netns(lab.a.name, [] {
        g_nctrs = 0;
        ifsnap_take(1, "m0", 2.0);
        std::string out = "mq=" + std::string(g_snap[1].qdisc) + "\n";
        sh("tc qdisc add dev a0 root handle 1: htb default 10 && "
           "tc class add dev a0 parent 1: classid 1:10 htb rate 8bit ceil 8bit burst 1 cburst 1 2>/dev/null && "
           "tc qdisc add dev a0 parent 1:10 handle 10: pfifo limit 2");
        udp_burst(50);
        ifsnap_take(0, "a0", 2.0);
        return out + dump(g_snap[0]) + "---\n" + sh_out("tc -s qdisc show dev a0");
    });
    auto snap = kv(got.substr(0, got.find("---\n")));
    std::string listing = got.substr(got.find("---\n") + 4);
    uint64_t tc_sum = 0;
    for (size_t at = listing.find("dropped "); at != std::string::npos; at = listing.find("dropped ", at + 1))
        tc_sum += std::stoull(listing.substr(at + 8));
    EXPECT_GT(tc_sum, 0u) << listing;
    EXPECT_EQ(snap["qdisc_drops"], std::to_string(tc_sum)) << listing;
    EXPECT_EQ(snap["qdisc"], "htb/pfifo");
    std::string child = read_whole_file("/proc/sys/net/core/default_qdisc");
    EXPECT_EQ(snap["mq"], "mq/" + child.substr(0, child.find('\n')));
}

// Interface names are arguments, never shell text; a missing or replaced tc only
// changes the qdisc fields; every tc child is reaped within its sample.
TEST(ifsnap_netns, hostile_names_stand_in_tools_and_no_zombies)
{
    SKIP_WITHOUT_NETNS();
    Lab lab;
    lab.a.run("ip link add 'w;id>pwn' type veth peer name 'l$(id)'");
    TempDir d;
    std::string fake = d.write("fake/tc", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> " + d.path + "/argv\n"
                                          "echo 'qdisc htb 1: root'\necho ' (dropped 5, overlimits 0)'\n"
                                          "echo 'qdisc fq 8001: parent 1:1'\n");
    ::chmod(fake.c_str(), 0755);
    d.mkdir("empty");
    std::string got = in_netns(lab.a.name, [&] {
        if (::chdir(d.path.c_str()) != 0) return std::string("chdir failed");
        g_nctrs = 0;
        std::memset(&g_snap[2], 0xff, sizeof g_snap[2]);
        ifsnap_take(2, "nosuch0", 2.0);
        IfSnap defaults{};
        defaults.speed = -1;
        std::string out = dump(g_snap[2]) == dump(defaults) ? "gone=defaults\n" : "gone=stale\n";
        ifsnap_take(0, "w;id>pwn", 2.0);
        out += dump(g_snap[0]);
        sh("ip link set 'w;id>pwn' up && ip link set 'l$(id)' up");
        ifsnap_take(1, "l$(id)", 2.0);
        out += "peer_qdisc=" + std::string(g_snap[1].qdisc) + "\npeer_speed=" + std::to_string(g_snap[1].speed) + "\n";
        for (int i = 0; i < 100; i++) ifsnap_take(1, "l$(id)", 2.0);
        errno = 0;
        out += "reaped=" + std::to_string(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD) + "\n";
        out += "pwn=" + std::to_string(::access("pwn", F_OK) == 0) + "\n";

        std::string path = std::getenv("PATH");
        ::setenv("PATH", (d.path + "/fake").c_str(), 1);
        ifsnap_take(0, "w;id>pwn", 2.0);
        out += "fake=" + std::string(g_snap[0].qdisc) + " " + std::to_string(g_snap[0].qdisc_drops) + "\n";
        ::setenv("PATH", (d.path + "/empty").c_str(), 1);
        ifsnap_take(0, "w;id>pwn", 2.0);
        out += "none=" + std::string(g_snap[0].qdisc) + " " + std::to_string(g_snap[0].qdisc_drops) + " " +
               std::to_string(g_snap[0].mtu) + "\n";
        ::setenv("PATH", path.c_str(), 1);
        return out;
    });
    auto r = kv(got);
    EXPECT_EQ(r["gone"], "defaults") << got;
    EXPECT_EQ(r["speed"], "-1");  // the speed of a link that is down cannot be read
    EXPECT_EQ(r["operstate"], "down");
    EXPECT_EQ(r["qdisc"], "");  // tc lists no qdisc for a link that is down
    EXPECT_EQ(r["mtu"], "1500");
    EXPECT_EQ(r["peer_qdisc"], "noqueue");
    EXPECT_EQ(r["peer_speed"], "10000");
    EXPECT_EQ(r["reaped"], "1");
    EXPECT_EQ(r["pwn"], "0");
    EXPECT_EQ(r["fake"], "htb/fq 5");
    EXPECT_EQ(r["none"], " 0 1500");
    EXPECT_EQ(read_whole_file(d.path + "/argv"), "-s\nqdisc\nshow\ndev\nw;id>pwn\nqdisc\nshow\ndev\nw;id>pwn\n");
}

TEST(ethtool_netns, gstrings_fetches_the_driver_names_or_fails_cleanly)
{
    SKIP_WITHOUT_NETNS();
    Lab lab;
    std::string got = in_netns(lab.a.name, [] {
        g_ethsock = ::socket(AF_INET, SOCK_DGRAM, 0);
        ethtool_drvinfo info{};
        info.cmd = ETHTOOL_GDRVINFO;
        if (eth_ioctl("a0", &info) != 0 || info.n_stats < 2) return std::string("no driver info");
        const uint32_t n = info.n_stats;
        char *names = nullptr, *keep = reinterpret_cast<char *>(&info);
        std::string out;
        if (eth_gstrings("a0", ETH_SS_STATS, n, &names) == 0) {
            for (uint32_t i = 0; i < n; i++) out += std::string(names + 32 * i, strnlen(names + 32 * i, 32)) + "\n";
            std::free(names);
        }
        char *out2 = keep;
        out += "short=" + std::to_string(eth_gstrings("a0", ETH_SS_STATS, n - 1, &out2));
        out += " long=" + std::to_string(eth_gstrings("a0", ETH_SS_STATS, n + 1, &out2));
        out += " none=" + std::to_string(eth_gstrings("a0", ETH_SS_STATS, 0, &out2));
        out += " missing=" + std::to_string(eth_gstrings("nosuch0", ETH_SS_STATS, n, &out2));
        out += " untouched=" + std::to_string(out2 == keep) + "\n";
        ::close(g_ethsock);
        g_ethsock = -1;
        return out;
    });
    std::string expect;
    std::string listing = lab.a.out("ethtool -S a0");
    for (size_t at = listing.find("\n "); at != std::string::npos; at = listing.find("\n ", at + 1)) {
        size_t start = listing.find_first_not_of(' ', at + 1), colon = listing.find(':', at);
        if (colon != std::string::npos) expect += listing.substr(start, colon - start) + "\n";
    }
    EXPECT_NE(expect.find("peer_ifindex\n"), std::string::npos) << listing;
    EXPECT_EQ(got, expect + "short=-1 long=-1 none=-1 missing=-1 untouched=1\n");
}

}  // namespace
