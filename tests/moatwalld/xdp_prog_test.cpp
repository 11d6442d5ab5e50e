// The cost of the XDP program per packet, run by the kernel on frames built
// here (BPF_PROG_TEST_RUN), for the README: a passed, a source-dropped and a
// port-dropped packet of each family with a few prefixes and with 10,000,
// against a program that only returns XDP_PASS.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/bpf.h>
#include <set>

#include "moatwalld/gate.hpp"
#include "support/gate_rig.hpp"

// The verdict of `repeat` runs; *ns the kernel's time per run.
static int run(int prog, const Frame &f, uint32_t *ns)
{
    static const uint8_t MAC_A[6] = {2, 0, 0, 0, 0, 1}, MAC_B[6] = {2, 0, 0, 0, 0, 2};
    std::vector<uint8_t> fr = build_frame(f, MAC_A, MAC_B);
    LIBBPF_OPTS(bpf_test_run_opts, o, .data_in = fr.data(), .data_size_in = uint32_t(fr.size()), .repeat = 2000000);
    *ns = 0;
    return bpf_prog_test_run_opts(prog, &o) != 0 ? -1 : (*ns = o.duration, int(o.retval));
}

// Blocks pseudo-random prefixes of lengths lo to lo + 16 (IPv4) or lo + 96
// (IPv6) inside a quarter of the space, a deep trie, until keys holds want of
// them; the first address of the longest comes back.
static std::string block_trie(int family, size_t want, std::set<std::vector<uint8_t>> &keys)
{
    const unsigned bytes = family == AF_INET ? 4 : 16, lo = bytes == 4 ? 16 : 32, span = bytes == 4 ? 17 : 97;
    char err[300], text[64];
    MwPrefix deepest = {family, 0, {}};
    for (uint64_t i = 0; keys.size() < want; i++) {
        MwPrefix p = {family, lo + unsigned(i % span), {}};
        uint64_t x = i * 0x9e3779b97f4a7c15ull;
        for (unsigned b = 0; b < bytes; b++) p.addr[b] = uint8_t(x >> (8 * (b % 8)) ^ (b * 37));
        p.addr[0] = uint8_t(bytes == 4 ? 100 + p.addr[0] % 50 : 0x20 + p.addr[0] % 16);
        for (unsigned b = 0; b < bytes; b++) p.addr[b] &= uint8_t(0xff00u >> std::clamp(int(p.len) - 8 * int(b), 0, 8));
        std::vector<uint8_t> k(p.addr, p.addr + bytes);
        k.push_back(uint8_t(p.len));
        if (keys.insert(k).second) {
            EXPECT_EQ(gate_block(p, err, sizeof err), 0) << err;
        }
        if (p.len > deepest.len) deepest = p;
    }
    return inet_ntop(family, deepest.addr, text, sizeof text);
}

TEST(XdpProg, CostPerPacket)
{
    if (std::string why = gate_skip_reason(); !why.empty()) GTEST_SKIP() << why;
    BpfDir dir;
    char err[300] = "";
    ASSERT_EQ(gate_open(dir.pindir.c_str(), MW_OBJ, "lo", err, sizeof err), 0) << err;
    ASSERT_EQ(gate_drop_port(23, err, sizeof err), 0) << err;
    bpf_insn floor[2] = {{BPF_ALU64 | BPF_MOV | BPF_K, 0, 0, 0, XDP_PASS}, {BPF_JMP | BPF_EXIT, 0, 0, 0, 0}};
    int floor_fd = bpf_prog_load(BPF_PROG_TYPE_XDP, "mw_floor", "GPL", floor, 2, nullptr);
    uint32_t floor_ns = 0, t[3];
    ASSERT_EQ(run(floor_fd, Frame{}, &floor_ns), XDP_PASS);
    close(floor_fd);
    printf("\n| family | prefixes | XDP_PASS floor | passed | src-dropped | port-dropped |\n|---|---|---|---|---|---|\n");
    std::set<std::vector<uint8_t>> keys[2];
    for (int v6 : {0, 1}) {
        for (size_t want : {21, 10000}) {
            const std::string deepest = block_trie(v6 ? AF_INET6 : AF_INET, want, keys[v6]);
            const char *clean = v6 ? "2a0e:77::2" : "11.77.0.2";
            const Frame f[3] = {{.src = clean}, {.src = deepest.c_str()}, {.src = clean, .dport = 23}};
            for (int i = 0; i < 3; i++) ASSERT_EQ(run(g_gate.prog_fd, f[i], &t[i]), i ? XDP_DROP : XDP_PASS) << i;
            printf("| %s | %zu | %u | %u | %u | %u |\n", v6 ? "IPv6" : "IPv4", want, floor_ns, t[0], t[1], t[2]);
            // A gate slower than a microsecond per packet would be no early drop at all.
            EXPECT_LT(t[0], 1000u);
        }
    }
    // Full lists say so, not that the map failed.
    block_trie(AF_INET, MW_DROP4_MAX, keys[0]);
    EXPECT_EQ(gate_block({AF_INET, 32, {1, 2, 3, 4}}, err, sizeof err), -1);
    EXPECT_STREQ(err, "prefix list full");
    for (uint16_t port = 1; port <= MW_DPORTS_MAX; port++) ASSERT_EQ(gate_drop_port(port, err, sizeof err), 0) << err;
    EXPECT_EQ(gate_drop_port(MW_DPORTS_MAX + 1, err, sizeof err), -1);
    EXPECT_STREQ(err, "port list full");
    gate_close();
}
