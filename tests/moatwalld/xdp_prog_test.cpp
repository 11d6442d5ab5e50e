// The cost of the XDP program per packet, run by the kernel on frames built
// here (BPF_PROG_TEST_RUN), for the README: a passed, a source-dropped and a
// port-dropped packet with the 14 bogons and with 10,000 prefixes, against a
// program that only returns XDP_PASS.
#include <gtest/gtest.h>

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

TEST(XdpProg, CostPerPacket)
{
    if (std::string why = gate_skip_reason(); !why.empty()) GTEST_SKIP() << why;
    BpfDir dir;
    char err[300] = "";
    ASSERT_EQ(gate_open(dir.pindir.c_str(), MW_OBJ, "lo", err, sizeof err), 0) << err;
    ASSERT_EQ(gate_drop_port(23, err, sizeof err) | gate_seed(err, sizeof err), 0) << err;
    bpf_insn floor[2] = {{BPF_ALU64 | BPF_MOV | BPF_K, 0, 0, 0, XDP_PASS}, {BPF_JMP | BPF_EXIT, 0, 0, 0, 0}};
    int floor_fd = bpf_prog_load(BPF_PROG_TYPE_XDP, "mw_floor", "GPL", floor, 2, nullptr);
    uint32_t floor_ns = 0, t[3];
    ASSERT_EQ(run(floor_fd, Frame{}, &floor_ns), XDP_PASS);
    close(floor_fd);
    printf("\n| prefixes | XDP_PASS floor | passed | src-dropped | port-dropped |\n|---|---|---|---|---|\n");
    std::set<std::pair<uint32_t, uint32_t>> keys;
    char deepest[16] = "198.51.100.1";
    // A deep trie: lengths 16 to 32 spread over 100.0.0.0 to 199.255.255.255.
    for (size_t want : {14, 10000}) {
        for (uint32_t i = 0; keys.size() + 14 < want; i++) {
            uint32_t len = 16 + i % 17, a = ((100u << 24) + (i * 2654435761u) % (100u << 24)) & uint32_t(~(0xffffffffull >> len));
            if (!keys.insert({a, len}).second) continue;
            ASSERT_EQ(gate_block({len, {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}}, err, sizeof err), 0) << err;
            if (len == 32) snprintf(deepest, sizeof deepest, "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
        }
        const Frame f[3] = {{}, {.src = deepest}, {.dport = 23}};
        for (int i = 0; i < 3; i++) ASSERT_EQ(run(g_gate.prog_fd, f[i], &t[i]), i ? XDP_DROP : XDP_PASS) << i;
        printf("| %zu | %u | %u | %u | %u |\n", want, floor_ns, t[0], t[1], t[2]);
        // A gate slower than a microsecond per packet would be no early drop at all.
        EXPECT_LT(t[0], 1000u);
    }
    gate_close();
}
