#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>
#include <unistd.h>

#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/kernel_file.hpp"
#include "overview/conntrack.hpp"
#include "overview/nst_table.hpp"
#include "overview/overview_model.hpp"
#include "overview/page_overview.hpp"
#include "overview/softnet_stat.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"

// Every reader over one fixture /proc: the counter table, the softnet sums and the conntrack fill.
TEST(proc_net_files, readers_on_fixture_trees)
{
    // n tokens printed with fmt (given i twice); 5000 make a line far over the 4095 characters kept.
    auto tokens = [](const char *fmt, int n = 5000) {
        std::string s;
        char tok[64];
        for (int i = 0; i < n; i++) s += (std::snprintf(tok, sizeof tok, fmt, i, i), tok);
        return s;
    };
    const std::string p40(40, 'P'), n60(60, 'n'), n79(79, 'a'), pad(245, ' '), none = "| 0 0 | 0 1 0";
    const std::string ct = "sys/net/netfilter/nf_conntrack_", wrap = "18446744073709551615";
    // Files under proc/ with their text, then what the readers make of them.
    const std::vector<std::string> cases[] = {
        // The three counter files in order, a repeated name kept; a zero conntrack maximum counts as 1.
        {"net/snmp", "Ip: A\nIp: 1\n", "net/netstat", "IpExt: B\nIpExt: 4\n", "net/snmp6", "Ip6C  \t1\nIpExtB 9\n",
         ct + "count", "10\n", ct + "max", "0\n", "IpA=1 IpExtB=4 Ip6C=1 IpExtB=9 | 0 0 | 10 1 1000"},
        // A broken pair costs both its lines, without re-synchronisation; short lines lose their ends.
        {"net/snmp", "Ip: A B\nIcmp: 1 2\nUdp: X\nUdp: 7\nIp A\nIp: 1\nTcp:\tX  Y\nTcp: 5\t6\nIp: A B C\nIp: 1 2\n"
                     "Udp: A\nUdp: 1 2 3\nIp: A B\nIp:\nIp: N M O P\nIp: -1 x 12x 99999999999999999999999\n" +
                         p40 + ": " + n60 + "\n" + p40 + ": 3\nIp: A\nTcp: X\nTcp: 5\n",
         "UdpX=7 TcpX=5 TcpY=6 IpA=1 IpB=2 UdpA=1 IpN=" + wrap + " IpM=0 IpO=12 IpP=" + wrap + " " + p40.substr(0, 31) +
             n60.substr(0, 48) + "=3 " + none},
        // Either line cut inside a token: the counters before the cut, still in step, then the next pair.
        {"net/snmp", "Ip:" + tokens(" c%d") + "\nIp:" + tokens(" %09d") + "\nIp:" + tokens(" long_name_%05d") +
                         "\nIp:" + tokens(" %d") + "\nUdp: X\nUdp: 9",
         tokens("Ipc%d=%d ", 409) + tokens("Iplong_name_%05d=%d ", 255) + "UdpX=9 " + none},
        // An 80-character name is skipped whole; a value split by the cut is dropped.
        {"net/snmp6", "Ip6X -1\nIp6Y abc\nOnly\n\tIp6Z +7 x\n" + n79 + " 5\n" + n79 + "b5 6\nIp6C" + pad + "123456789",
         "Ip6X=" + wrap + " Ip6Z=7 " + n79 + "=5 " + none},
        // The rest of a cut line is no line of its own; a cut third column is not added.
        {"net/softnet_stat",
         "a1b2 3 10\n1 2 1\nzz 1 2\n1 2\n0 1 1" + tokens(" 1", 600) + "\n" + std::string(1018, ' ') + "0 1 123456\n",
         ct + "count", "32768\n", ct + "max", "65536", "| 6 18 | 32768 65536 50"},
        // Directories where files belong read as missing files.
        {"net/snmp/x", "", "net/softnet_stat/x", "", ct + "max/x", "", ct + "count", "3", "| 0 0 | 3 1 300"},
    };
    for (const std::vector<std::string> &c : cases) {
        SCOPED_TRACE(c[0] + ": " + c[1].substr(0, 80));
        TempDir t;
        fsroot_set(t.path.c_str());
        for (size_t i = 0; i + 1 < c.size(); i += 2) t.write("proc/" + c[i], c[i + 1]);
        nst_refresh();
        std::string got;
        for (int i = 0; i < g_nst_n; i++) got += g_nst[i].name + ("=" + std::to_string(g_nst[i].value) + " ");
        uint64_t drops, squeezes, count, max;
        uint32_t pct;
        softnet_read(&drops, &squeezes);
        conntrack_read(&count, &max, &pct);
        char tail[96];
        std::snprintf(tail, sizeof tail, "| %lu %lu | %lu %lu %u", drops, squeezes, count, max, pct);
        EXPECT_EQ(got + tail, c.back());
    }
}

// read_file_str keeps at most size - 1 bytes, untrimmed; rstrip takes exactly four blank kinds.
TEST(read_util, read_file_str_and_rstrip)
{
    TempDir t;
    char buf[8];
    ASSERT_EQ(read_file_str(t.write("f", "x\v \t\r\n\nyz").c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "x\v \t\r\n\n");
    rstrip(buf);
    EXPECT_STREQ(buf, "x\v");
}

// A router namespace forwards a 1400-byte datagram onto a link of MTU 1280 and answers
// with Packet Too Big, then meets a little UDP of its own: the counters match iproute2's
// nstat (which leaves out the gauges such as IpForwarding), and page 1 shows its count.
TEST(nst_kernel, counters_and_overview_match_nstat_in_a_router_namespace)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard s("twptbS"), r("twptbR");
    ASSERT_EQ(sh("set -e; S='ip -n " + s.name + "'; R='ip -n " + r.name + "'; $S link add s0 type veth peer name r0 "
                 "netns " + r.name + "; $R link add r1 mtu 1280 type veth peer name r2; $S addr add 2001:db8:1::2/64 "
                 "dev s0 nodad; $R addr add 2001:db8:1::1/64 dev r0 nodad; for d in r0 r1 r2; do $R link set $d up; "
                 "done; $S link set s0 up; $S route add default via 2001:db8:1::1; "
                 "$R route add 2001:db8:2::/64 dev r1"), 0);
    r.run("sysctl -qw net.ipv6.conf.all.forwarding=1");
    s.run("bash -c 'head -c 1400 /dev/zero >/dev/udp/2001:db8:2::9/9'");
    EXPECT_EQ(in_netns(r.name, [] {
        // Unrouted, to a closed local port, unrouted over IPv6; then until the datagram was
        // refused and the counters stand still.
        sh("bash -c 'for a in 192.0.2.1 127.0.0.1 2001:db8:3::1; do echo >/dev/udp/$a/9; done' 2>/dev/null; a=; for i in "
           "$(seq 100); do b=$(cat /proc/net/snmp /proc/net/netstat /proc/net/snmp6); [ \"$a\" = \"$b\" ] && "
           "nstat -asz Icmp6OutPktTooBigs | grep -q ' 1 ' && break; a=$b; sleep 0.05; done");
        // The kernel's own IPv6 chatter (neighbour and listener reports) can still move counters
        // at any moment, so compare only a read that nstat saw unchanged on both sides of it.
        std::string theirs, nst;
        for (int tries = 0; tries < 100; tries++) {
            std::string before = sh_out("nstat -asz | awk 'NR > 1 {print $1, $2}'");
            nst_refresh();
            theirs = sh_out("nstat -asz | awk 'NR > 1 {print $1, $2}'");
            if (before == theirs) break;
            usleep(50 * 1000);
        }
        nst = "\n";
        for (int i = 0; i < g_nst_n; i++) nst += g_nst[i].name + (" " + std::to_string(g_nst[i].value) + "\n");
        // One datagram met the closed port; seeing it also shows that nstat printed its counters.
        std::string diff = theirs.find("\nUdpNoPorts 1\n") == std::string::npos ? "no traffic seen\n" : "";
        std::istringstream lines(theirs);
        for (std::string line; std::getline(lines, line);)
            if (nst.find("\n" + line + "\n") == std::string::npos) diff += line + "\n";
        g_birdc = "/nonexistent/birdc";
        overview_collect();
        render_overview();
        const char *line = std::strstr(PAGES[0].buf, "\n  Icmp6 PktTooBig out: ");
        unsigned long long ours = ~0ull;
        if (line) std::sscanf(line + 23, "%llu", &ours);
        return diff + std::to_string(ours) + " vs nstat " + sh_out("nstat -asz Icmp6OutPktTooBigs | awk 'NR > 1 {print $2}'");
    }), "1 vs nstat 1\n");
}
