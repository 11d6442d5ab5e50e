// The XDP program run by the kernel on frames built here, with lists as full
// as they get: its verdicts among 10,000 prefixes of each family, and full
// lists refusing one more entry.
#include <gtest/gtest.h>

#include <linux/bpf.h>
#include <sys/socket.h>

#include "xdp_run.hpp"

// Blocks host prefixes of family, 100.1.x.y/32 or 6401::x:y/128 for x.y from
// first up to last.
static void block_hosts(int family, int first, int last)
{
    char err[300] = "";
    for (int i = first; i < last; i++) {
        MwPrefix p = {family, family == AF_INET ? 32u : 128u, {100, 1}};
        p.addr[p.len / 8 - 2] = uint8_t(i >> 8), p.addr[p.len / 8 - 1] = uint8_t(i);
        ASSERT_EQ(gate_block(p, err, sizeof err), 0) << err;
    }
}

TEST(XdpProg, FullListsKeepTheirVerdicts)
{
    if (std::string why = gate_skip_reason(); !why.empty()) GTEST_SKIP() << why;
    BpfDir dir;
    char err[300] = "";
    ASSERT_EQ(gate_open(dir.pindir.c_str(), MW_OBJ, "lo", err, sizeof err), 0) << err;
    ASSERT_EQ(gate_drop_port(23, err, sizeof err), 0) << err;
    for (int v6 : {0, 1}) {
        block_hosts(v6 ? AF_INET6 : AF_INET, 0, 10000);
        // last: the last one listed, x.y = 9999 = 0x270f.
        const std::string clean = v6 ? "2a0e:77::2" : "11.77.0.2", last = v6 ? "6401::270f" : "100.1.39.15";
        EXPECT_EQ(xdp_run(g_gate.prog_fd, "src=" + clean, 1), XDP_PASS) << clean;
        EXPECT_EQ(xdp_run(g_gate.prog_fd, "src=" + last, 1), XDP_DROP) << last;
        EXPECT_EQ(xdp_run(g_gate.prog_fd, "src=" + clean + " dport=23", 1), XDP_DROP) << clean;
    }
    // Full lists say so, not that the map failed.
    block_hosts(AF_INET, 10000, MW_DROP4_MAX);
    EXPECT_EQ(gate_block({AF_INET, 32, {1, 2, 3, 4}}, err, sizeof err), -1);
    EXPECT_STREQ(err, "prefix list full");
    for (uint16_t port = 1; port <= MW_DPORTS_MAX; port++) ASSERT_EQ(gate_drop_port(port, err, sizeof err), 0) << err;
    EXPECT_EQ(gate_drop_port(MW_DPORTS_MAX + 1, err, sizeof err), -1);
    EXPECT_STREQ(err, "port list full");
    gate_close();
}
