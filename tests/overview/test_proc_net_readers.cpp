#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "core/fsroot.hpp"
#include "overview/conntrack.hpp"
#include "overview/nst_table.hpp"
#include "overview/softnet_stat.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"

namespace {

std::string table_text()
{
    std::string s;
    for (int32_t i = 0; i < g_nst_n; i++) s += (i ? " " : "") + std::string(g_nst[i].name) + "=" + std::to_string(g_nst[i].value);
    return s;
}

// Each test starts from an empty table and a fixture root, and leaves neither behind.
struct ProcFixture : ::testing::Test {
    TempDir t;
    void SetUp() override { g_nst_n = 0; fsroot_set(t.path.c_str()); }
    void TearDown() override { g_nst_n = 0; fsroot_set(""); }
};
using nst_table = ProcFixture;
using nst_parse = ProcFixture;
using proc_net_files = ProcFixture;

TEST_F(nst_table, grows_by_doubling_keeps_first_duplicate_and_cuts_names)
{
    for (int i = 0; i < 513; i++) nst_put(i == 512 ? std::string(100, 'n').c_str() : "Dup", i);
    EXPECT_EQ(g_nst_cap, 1024);
    uint64_t v = 99;
    EXPECT_TRUE(nst_get("Dup", &v) && v == 0);
    EXPECT_TRUE(nst_get(std::string(79, 'n').c_str(), &v) && v == 512);
    EXPECT_FALSE(nst_get("dup", &v));
    NetstatEntry *storage = g_nst;
    g_nst_n = 0;
    for (int i = 0; i < 1024; i++) nst_put("X", 1);
    EXPECT_EQ(g_nst, storage);  // refilled in place
}

TEST_F(nst_parse, paired_and_snmp6_lines)
{
    std::string p40(40, 'P'), n60(60, 'n'), n79(79, 'a'), pad(245, ' ');
    struct { void (*parse)(std::string_view); std::string in, want; } cases[] = {
        {nst_parse_paired, "Ip: Forwarding DefaultTTL\nIp: 1 64\n", "IpForwarding=1 IpDefaultTTL=64"},
        {nst_parse_paired, "Ip: A B\nIcmp: 1 2\nUdp: X\nUdp: 7\n", "UdpX=7"},  // differing prefixes cost both lines
        {nst_parse_paired, "Ip A\nIp: 1\nTcp:\tX  Y\nTcp: 5\t6", "TcpX=5 TcpY=6"},
        {nst_parse_paired, "Ip: A B C\nIp: 1 2\nUdp: A\nUdp: 1 2 3\n", "IpA=1 IpB=2 UdpA=1"},
        {nst_parse_paired, "Ip: A\nTcp: X\nTcp: 5\n", ""},  // a header without values: no re-synchronisation
        {nst_parse_paired, "Ip: A\nIp: 1\nTcp: X\n", "IpA=1"},
        {nst_parse_paired, "Ip: A B\nIp:\nIp: N M O P\nIp: -1 x 12x 99999999999999999999999\n",
         "IpN=18446744073709551615 IpM=0 IpO=12 IpP=18446744073709551615"},
        {nst_parse_paired, p40 + ": " + n60 + "\n" + p40 + ": 3\n", p40.substr(0, 31) + n60.substr(0, 48) + "=3"},
        {nst_parse_snmp6, "Ip6InReceives                   \t12\nIp6X -1\nIp6Y abc\nOnly\n\n  Ip6Z\t+7 junk\n",
         "Ip6InReceives=12 Ip6X=18446744073709551615 Ip6Z=7"},
        {nst_parse_snmp6, n79 + " 5\n" + n79 + "b5 6\n", n79 + "=5"},  // an 80-character name is skipped whole
        {nst_parse_snmp6, "Ip6Cut" + pad + "123456789\nIp6Next 3\n", "Ip6Next=3"},  // value split by the cut
        {nst_parse_snmp6, "Ip6A 5 " + pad + "xxxxxxxxxxxxxxxxxxxx\nIp6B 1", "Ip6A=5 Ip6B=1"},
    };
    for (auto &c : cases) {
        g_nst_n = 0;
        c.parse(c.in);
        EXPECT_EQ(table_text(), c.want) << c.in;
    }
}

// 5000-token lines, far over the 4095 characters kept; either line may be cut inside a token.
TEST_F(nst_parse, over_long_lines_keep_names_and_values_in_step)
{
    for (bool long_names : {false, true}) {
        std::string h = "Ip:", v = "Ip:";
        char tok[64];
        for (int i = 0; i < 5000; i++) {
            h += (std::snprintf(tok, sizeof tok, long_names ? " counter_with_long_name_%05d" : " c%d", i), tok);
            v += (std::snprintf(tok, sizeof tok, long_names ? " %d" : " %09d", i), tok);
        }
        const std::string &cut = long_names ? h : v;
        ASSERT_TRUE(cut[4094] != ' ' && cut[4095] != ' ');
        std::string text = h + "\n" + v + "\nUdp: X\nUdp: 9\n";
        t.write("proc/net/snmp", text);
        g_nst_n = 0;
        nst_load_paired("/proc/net/snmp");
        std::string from_file = table_text();
        g_nst_n = 0;
        nst_parse_paired(text);
        EXPECT_EQ(table_text(), from_file);
        ASSERT_GT(g_nst_n, 100);
        for (int32_t i = 0; i + 1 < g_nst_n; i++) {
            std::snprintf(tok, sizeof tok, long_names ? "Ipcounter_with_long_name_%05d" : "Ipc%d", i);
            ASSERT_STREQ(g_nst[i].name, tok);
            ASSERT_EQ(g_nst[i].value, static_cast<uint64_t>(i)) << tok;
        }
        EXPECT_EQ(std::string(g_nst[g_nst_n - 1].name) + std::to_string(g_nst[g_nst_n - 1].value), "UdpX9");
    }
}

TEST_F(proc_net_files, refresh_loads_three_files_in_order_without_growing)
{
    t.write("proc/net/snmp", "Ip: Forwarding DefaultTTL InReceives\nIp: 2 64 616\n");
    t.write("proc/net/netstat", "IpExt: InNoRoutes InTruncatedPkts\nIpExt: 4 0\n");
    t.write("proc/net/snmp6", "Ip6InReceives                   \t1\nIpExtInNoRoutes 99\n");
    nst_refresh();
    EXPECT_EQ(table_text(), "IpForwarding=2 IpDefaultTTL=64 IpInReceives=616 IpExtInNoRoutes=4 "
                            "IpExtInTruncatedPkts=0 Ip6InReceives=1 IpExtInNoRoutes=99");
    NetstatEntry *storage = g_nst;
    nst_refresh();
    EXPECT_EQ(g_nst_n, 7);
    EXPECT_EQ(g_nst, storage);

    // snmp as a directory, netstat missing: each yields nothing, snmp6 still loads.
    std::remove((t.path + "/proc/net/snmp").c_str());
    std::remove((t.path + "/proc/net/netstat").c_str());
    t.mkdir("proc/net/snmp");
    nst_refresh();
    EXPECT_EQ(table_text(), "Ip6InReceives=1 IpExtInNoRoutes=99");
}

TEST_F(proc_net_files, softnet_sums_drops_and_squeezes)
{
    uint64_t d = 7, s = 7;
    softnet_read(&d, &s);
    EXPECT_EQ(d + s, 0u);  // missing file
    std::string rest;  // if the rest of the cut line were read as lines, it would count
    for (int i = 0; i < 300; i++) rest += " 00000001";
    t.write("proc/net/softnet_stat", "0000a1b2 00000003 00000010\n00000001 00000002 00000001\nzz 1 2\n1 2\n0 1 1" +
                                         rest + "\n" + std::string(1018, ' ') + "0 1 123456\n");  // 3rd column cut
    softnet_read(&d, &s);
    EXPECT_EQ(d, 6u);
    EXPECT_EQ(s, 18u);
}

TEST_F(proc_net_files, conntrack_count_max_and_fill)
{
    struct { const char *count, *max; uint64_t c, m; uint32_t pct; } cases[] = {
        {"3\n", nullptr, 3, 1, 300}, {"10\n", "0\n", 10, 1, 1000},
        {nullptr, "65536\n", 0, 65536, 0}, {"32768\n", "65536\n", 32768, 65536, 50},
    };
    std::string dir = t.mkdir("proc/sys/net/netfilter");
    for (auto &c : cases) {
        std::remove((dir + "/nf_conntrack_count").c_str());
        std::remove((dir + "/nf_conntrack_max").c_str());
        if (c.count) t.write("proc/sys/net/netfilter/nf_conntrack_count", c.count);
        if (c.max) t.write("proc/sys/net/netfilter/nf_conntrack_max", c.max);
        uint64_t n, m;
        uint32_t pct;
        conntrack_read(&n, &m, &pct);
        EXPECT_TRUE(n == c.c && m == c.m && pct == c.pct) << n << " " << m << " " << pct;
    }
}

std::map<std::string, uint64_t> name_values(const std::string &text)
{
    std::map<std::string, uint64_t> m;
    std::istringstream in(text);
    std::string line, name;
    uint64_t v;
    while (std::getline(in, line))
        if (std::istringstream(line) >> name >> v) m.emplace(name, v);  // "#kernel" fails
    return m;
}

// The kernel's own counters, read in a quiet namespace, against iproute2's nstat.
TEST(nst_kernel, matches_nstat_in_a_namespace)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard ns("twnst");
    std::string out = in_netns(ns.name, [] {
        auto send_to = [](int family, const char *addr) {
            sockaddr_storage ss{};
            auto *a4 = reinterpret_cast<sockaddr_in *>(&ss);
            auto *a6 = reinterpret_cast<sockaddr_in6 *>(&ss);
            ss.ss_family = static_cast<sa_family_t>(family);
            a4->sin_port = a6->sin6_port = htons(9);
            inet_pton(family, addr, family == AF_INET ? static_cast<void *>(&a4->sin_addr) : &a6->sin6_addr);
            int s = socket(family, SOCK_DGRAM, 0);
            sendto(s, "x", 1, 0, reinterpret_cast<sockaddr *>(&ss), sizeof ss);
            close(s);
        };
        send_to(AF_INET, "192.0.2.1");  // no route in the namespace
        send_to(AF_INET, "127.0.0.1");
        send_to(AF_INET6, "2001:db8::1");
        usleep(100000);  // let the port-unreachable reply pass through
        nst_refresh();
        std::string ours;
        for (int32_t i = 0; i < g_nst_n; i++) ours += std::string(g_nst[i].name) + " " + std::to_string(g_nst[i].value) + "\n";
        return ours + "=\n" + sh_out("nstat -asz 2>&1");
    });
    size_t sep = out.find("=\n");
    ASSERT_NE(sep, std::string::npos) << out;
    auto ours = name_values(out.substr(0, sep)), nstat = name_values(out.substr(sep + 2));
    ASSERT_GT(nstat.size(), 100u) << out.substr(sep);
    for (const char *n : {"IpOutNoRoutes", "UdpOutDatagrams", "Ip6OutNoRoutes"}) EXPECT_GE(ours[n], 1u) << n;
    size_t shared = 0;
    for (auto &[name, v] : nstat) {
        if (!ours.count(name)) continue;
        shared++;
        EXPECT_EQ(ours[name], v) << name;
    }
    EXPECT_GT(shared, nstat.size() * 9 / 10);
}

}  // namespace
