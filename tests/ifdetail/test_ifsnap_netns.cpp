#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>

#include "core/fsroot.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ifsnap.hpp"
#include "topology/wg_discover.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"
#include "support/veth_pair.hpp"

namespace {

// a0 (10.9.0.1) here pairs with pa0 (10.9.0.2) in b, IPv6 off.
TEST(ifsnap_netns, snapshots_match_ip_tc_and_the_traffic_sent)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard a{"twsnapA"}, b{"twsnapB"};
    for (auto *ns : {&a, &b}) ns->run("sysctl -qw net.ipv6.conf.default.disable_ipv6=1 net.ipv4.icmp_ratelimit=0");
    ASSERT_EQ(sh("set -e\n" + quiet_veth(a.name, b.name, "a0", "10.9.0", 1) + "A=" + a.name + R"(
        # a0 passes traffic once the link watcher has attached its qdisc, which a
        # busy kernel does late; sent before that, datagrams are dropped unseen.
        for i in $(seq 250); do tc -n $A qdisc show dev a0 | grep -q noqueue && break; sleep 0.02; done
        ip -n $A link add 'w;id>pwn' type veth peer name 'l$(id)' numtxqueues 4
        tc -n $A qdisc add dev 'l$(id)' root handle 1: mq
        for q in 1 2 3 4; do tc -n $A qdisc replace dev 'l$(id)' parent 1:$q pfifo_fast; done)"), 0);
    TempDir d;
    ::chmod(d.write("fake/tc", "#!/bin/sh\nprintf '%s\\n' \"$@\" >>" + d.path + "/argv\n"
                             "printf 'qdisc htb 1: dev w;id>pwn root\\n Sent (dropped 5,\\n'\n").c_str(), 0755);

    // The checks run in a child inside the namespace, which says "ok" when none failed.
    // 20 datagrams of 100 bytes to a closed port: 142-byte frames out, and b answers
    // each with a 170-byte port-unreachable frame.
    const std::string burst = "bash -c 'for i in {1..20}; do printf %100s >/dev/udp/10.9.0.2/9; done'";
    // Until the 20 answers are in (at most 5 s), not for a time that is usually enough.
    const std::string answered = "r=/sys/class/net/a0/statistics/rx_packets; n=$(($(cat $r) + 20)); " + burst +
                                 "; for i in $(seq 250); do [ $(cat $r) -ge $n ] && break; sleep 0.02; done";
    const std::string verdict = in_netns(a.name, [&] {
        const IfSnap &s = g_snap[0];
        ifsnap_take(0, "a0", 2.0);
        ctr_roll();
        sh(answered);
        ifsnap_take(0, "a0", 2.0);
        EXPECT_EQ(s.tx_pps, 10.0);
        EXPECT_EQ(s.tx_bps, 20 * 142 / 2.0);
        EXPECT_EQ(s.rx_pps, 10.0);
        EXPECT_EQ(s.rx_bps, 20 * 170 / 2.0);
        // The peer's flap reaches a0's carrier count, compared below.
        sh("ip -n " + b.name + " link set pa0 down && ip -n " + b.name + " link set pa0 up");
        ifsnap_take(0, "a0", 2.0);
        EXPECT_EQ(s.flags, 0x1083u);  // up, broadcast, noarp, multicast
        EXPECT_EQ(s.carrier_changes, std::stoull(sh_out("cat /sys/class/net/a0/carrier_changes")));
        EXPECT_GE(s.carrier_changes, 2u);

        // Names are data, never shell text, and every tc child is reaped.
        const char names[][16] = {"a0", "l$(id)", "w;id>pwn"};
        for (int i = 0; i < 100; i++) ifsnap_take_all(names, 2, 2.0);
        EXPECT_STREQ(g_snap[1].qdisc, "mq/pfifo_fast");
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a tc child was left unreaped";
        ::setenv("PATH", (d.path + "/fake").c_str(), 1);
        ifsnap_take_all(names, 3, 2.0);
        EXPECT_EQ(g_snap[2].qdisc_drops, 5u);
        ::setenv("PATH", d.path.c_str(), 1);  // no tc at all: nothing of the last one's answer stays
        ifsnap_take_all(names, 3, 2.0);
        EXPECT_STREQ(g_snap[2].qdisc, "");
        EXPECT_EQ(g_snap[2].qdisc_drops, 0u);
        EXPECT_EQ(g_snap[2].mtu, 1500u);  // only the qdisc fields go

        // The kept sysfs directories follow the name: a change is read at once, an
        // interface replaced or renamed between rediscoveries is not read under its
        // old name, a gone one reads as unreadable; no descriptor piles up.
        // Counted in-process: a child listing them might also see its own pipe's write end.
        const auto fds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
        const std::pair<const char *, uint64_t> steps[] = {
            {"ip link add c0 mtu 1400 type veth peer name c1", 1400},
            {"ip link set c0 mtu 1450", 1450},
            {"ip link set c0 name c9 && ip link add c0 mtu 1300 type veth peer name c2", 1300},
            {"ip link del c0", 0},
        };
        ::setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
        long open_fds = -1;
        for (const auto &[cmd, mtu] : steps) {
            SCOPED_TRACE(cmd);
            EXPECT_EQ(sh(cmd), 0);
            for (int i = 0; i < 3; i++) ifsnap_take(3, "c0", 2.0);
            EXPECT_EQ(g_snap[3].mtu, mtu);
            EXPECT_STREQ(g_snap[3].operstate, mtu ? "down" : "");
            EXPECT_EQ(g_snap[3].speed, -1) << "a link that is down has no speed";
            if (open_fds < 0) open_fds = fds();
            EXPECT_LE(fds(), open_fds);
        }
        ifsnap_take(3, "c9", 2.0);
        EXPECT_EQ(g_snap[3].mtu, 1450u);
        return std::string(::testing::Test::HasFailure() ? "failed" : "ok");
    });
    EXPECT_EQ(verdict, "ok");
    EXPECT_EQ(read_whole_file(d.path + "/argv"), "-s\nqdisc\nshow\n");
}

// Each sysfs file in a field of its own (the value is the file's place in the
// list); a speed that cannot be read is -1, control bytes in the state are
// defused, and a WireGuard device is named whole.
TEST(ifsnap, sysfs_files_land_in_their_own_fields)
{
    TempDir t;
    const char *const stats[] = {"rx_bytes", "tx_bytes", "rx_packets", "tx_packets", "rx_errors", "tx_errors",
                                 "rx_dropped", "tx_dropped", "rx_missed_errors", "rx_fifo_errors", "rx_over_errors",
                                 "rx_crc_errors", "rx_frame_errors", "tx_fifo_errors", "tx_carrier_errors",
                                 "collisions", "multicast", "../carrier_changes", "../mtu"};
    for (size_t i = 0; i < std::size(stats); i++) t.write(std::string("sys/class/net/f0/statistics/") + stats[i], std::to_string(i + 1));
    t.write("sys/class/net/f0/operstate", "up\x1b[2J\x9b\n");
    fsroot_set(t.path.c_str());
    g_n_wgdevs = 1;
    std::strcpy(g_wgdevs[0], "f");
    ifsnap_take(0, "f0", 1.0);
    fsroot_set("");
    const IfSnap &s = g_snap[0];
    const uint64_t got[] = {s.rx_bytes, s.tx_bytes, s.rx_packets, s.tx_packets, s.rx_errors, s.tx_errors, s.rx_dropped,
                            s.tx_dropped, s.rx_missed_errors, s.rx_fifo_errors, s.rx_over_errors, s.rx_crc_errors,
                            s.rx_frame_errors, s.tx_fifo_errors, s.tx_carrier_errors, s.collisions, s.multicast,
                            s.carrier_changes, s.mtu};
    for (size_t i = 0; i < std::size(stats); i++) EXPECT_EQ(got[i], i + 1) << stats[i];
    EXPECT_EQ(s.speed, -1);
    EXPECT_STREQ(s.operstate, "up?[2J?");
    EXPECT_EQ(s.is_wg, 0);
    g_n_wgdevs = 0;
}

// One real qdisc set-up per device, each made to drop a known number of datagrams:
// a queue of length 0 drops all it is given (a bfifo of 100 bytes every 142-byte
// frame), and ingress drops are redirects to a device that is down.
struct QdiscRig {
    const char *dev;
    const char *tc;  // $D is the device
    int out, in;     // datagrams sent out of it and into it
    int drops;       // of those, dropped by its qdiscs
    const char *kinds;
};
const QdiscRig QDISC_RIGS[] = {
    {"pf", "tc qdisc add dev $D root pfifo limit 0", 5, 0, 5, "pfifo"},
    {"bf", "tc qdisc add dev $D root bfifo limit 100", 5, 0, 5, "bfifo"},
    {"ht", "tc qdisc add dev $D root handle 1: htb default 20 && "
           "tc class add dev $D parent 1: classid 1:10 htb rate 1mbit && "
           "tc class add dev $D parent 1: classid 1:20 htb rate 1mbit && "
           "tc qdisc add dev $D parent 1:10 handle 10: pfifo && tc qdisc add dev $D parent 1:20 handle 20: pfifo limit 0",
     6, 0, 6, "htb/pfifo"},
    {"tb", "tc qdisc add dev $D root handle 1: tbf rate 1mbit burst 10k limit 10k && "
           "tc qdisc add dev $D parent 1:1 handle 10: pfifo limit 0", 4, 0, 4, "tbf/pfifo"},
    {"mq", "tc qdisc add dev $D root handle 1: mq && "
           "for q in 1 2 3 4; do tc qdisc replace dev $D parent 1:\\$q pfifo limit 0; done", 9, 0, 9, "mq/pfifo"},
    {"nq", "true", 5, 5, 0, "noqueue"},
    {"in", "tc qdisc add dev $D ingress && "
           "tc filter add dev $D ingress protocol all u32 match u32 0 0 action mirred egress redirect dev dn", 0, 5, 5,
     "noqueue/ingress"},
    {"cl", "tc qdisc add dev $D root pfifo limit 0 && tc qdisc add dev $D clsact && "
           "tc filter add dev $D ingress protocol all u32 match u32 0 0 action mirred egress redirect dev dn", 3, 4, 7,
     "pfifo/clsact"},
};

TEST(ifsnap_netns, qdisc_drops_are_the_root_figures_of_tc)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard a{"twqdA"}, b{"twqdB"};
    std::string setup = "set -e; A=" + a.name + "\nip -n $A link add dn type veth peer name dnp\n";
    int k = 1;
    for (const QdiscRig &r : QDISC_RIGS) {
        setup += quiet_veth(a.name, b.name, r.dev, "10.9." + std::to_string(k), k, "numtxqueues 4") + "D=" + r.dev +
                 "; ip netns exec $A sh -c \"" + r.tc + "\"\n";
        k++;
    }
    for (auto *ns : {&a, &b}) ns->run("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
    ASSERT_EQ(sh(setup), 0);
    const auto send = [](const NetnsGuard &ns, int n, int k, int host) {
        return ns.run("bash -c 'for i in $(seq " + std::to_string(n) + "); do printf %100s >/dev/udp/10.9." +
                      std::to_string(k) + "." + std::to_string(host) + "/9; done' 2>/dev/null");
    };
    // What `tc -s` says the device's root qdiscs dropped: the egress root's line and the ingress one's.
    const auto root_figure = [&](const char *dev) {
        return a.out(std::string("tc -s qdisc show dev ") + dev + " | awk '/^qdisc/ {r = / root | parent ffff:fff1 /}"
                     " r && /Sent/ {sub(/.*dropped /, \"\"); s += $0; r = 0} END {print s + 0}'");
    };
    std::string want;
    char names[std::size(QDISC_RIGS)][16];
    for (size_t i = 0; i < std::size(QDISC_RIGS); i++) {
        const QdiscRig &r = QDISC_RIGS[i];
        send(a, r.out, static_cast<int>(i) + 1, 2);
        send(b, r.in, static_cast<int>(i) + 1, 1);
        // Ingress drops happen in the receiving softirq, a moment after the send.
        const std::string drops = std::to_string(r.drops) + "\n";
        for (int t = 0; t < 100 && root_figure(r.dev) != drops; t++) ::usleep(50000);
        EXPECT_EQ(root_figure(r.dev), drops) << r.dev << ": the rig did not drop what it should";
        want += std::string(r.dev) + " " + std::to_string(r.drops) + " " + r.kinds + "\n";
        std::snprintf(names[i], sizeof names[0], "%s", r.dev);
    }
    EXPECT_EQ(in_netns(a.name, [&] {
                  ifsnap_take_all(names, static_cast<int32_t>(std::size(names)), 2.0);
                  std::string got;
                  for (size_t i = 0; i < std::size(names); i++)
                      got += std::string(names[i]) + " " + std::to_string(g_snap[i].qdisc_drops) + " " + g_snap[i].qdisc + "\n";
                  return got;
              }),
              want);
}

}  // namespace
