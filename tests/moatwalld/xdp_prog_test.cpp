// The XDP program run by the kernel on frames built here, with lists as full
// as they get: its verdicts in a trie of 10,000 prefixes, and full lists
// refusing one more entry.
#include <gtest/gtest.h>

#include <linux/bpf.h>

#include "xdp_run.hpp"

TEST(XdpProg, FullListsKeepTheirVerdicts)
{
    if (std::string why = gate_skip_reason(); !why.empty()) GTEST_SKIP() << why;
    BpfDir dir;
    char err[300] = "";
    ASSERT_EQ(gate_open(dir.pindir.c_str(), MW_OBJ, "lo", err, sizeof err), 0) << err;
    ASSERT_EQ(gate_drop_port(23, err, sizeof err), 0) << err;
    std::set<std::vector<uint8_t>> keys[2];
    for (int v6 : {0, 1}) {
        const std::string deepest = block_trie(v6 ? AF_INET6 : AF_INET, 10000, keys[v6], err, sizeof err);
        ASSERT_NE(deepest, "") << err;
        const std::string clean = v6 ? "2a0e:77::2" : "11.77.0.2";
        EXPECT_EQ(xdp_run(g_gate.prog_fd, {.src = clean}, 1), XDP_PASS) << clean;
        EXPECT_EQ(xdp_run(g_gate.prog_fd, {.src = deepest}, 1), XDP_DROP) << deepest;
        EXPECT_EQ(xdp_run(g_gate.prog_fd, {.src = clean, .dport = 23}, 1), XDP_DROP) << clean;
    }
    // Full lists say so, not that the map failed.
    ASSERT_NE(block_trie(AF_INET, MW_DROP4_MAX, keys[0], err, sizeof err), "") << err;
    EXPECT_EQ(gate_block({AF_INET, 32, {1, 2, 3, 4}}, err, sizeof err), -1);
    EXPECT_STREQ(err, "prefix list full");
    for (uint16_t port = 1; port <= MW_DPORTS_MAX; port++) ASSERT_EQ(gate_drop_port(port, err, sizeof err), 0) << err;
    EXPECT_EQ(gate_drop_port(MW_DPORTS_MAX + 1, err, sizeof err), -1);
    EXPECT_STREQ(err, "port list full");
    gate_close();
}
