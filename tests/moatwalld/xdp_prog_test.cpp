// The XDP program itself, run by the kernel on frames built here
// (BPF_PROG_TEST_RUN): every verdict, and the cost per packet.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cstdio>
#include <linux/bpf.h>
#include <set>

#include "moatwalld/gate.hpp"
#include "moatwalld/gate_rig.hpp"

static const uint8_t MAC_A[6] = {2, 0, 0, 0, 0, 1}, MAC_B[6] = {2, 0, 0, 0, 0, 2};

class XdpProg : public ::testing::Test {
protected:
    BpfDir dir;
    void SetUp() override
    {
        std::string why = gate_skip_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        char err[300];
        ASSERT_EQ(gate_open(dir.pindir.c_str(), MW_OBJ, "lo", err, sizeof err), 0) << err;
    }
    void TearDown() override { gate_close(); }

    // Verdict of one run and the statistic it landed in (-1: none, 9: several).
    static int run(const Frame &f, int *stat, uint32_t repeat = 1, uint32_t *ns = nullptr, int prog = -1)
    {
        std::vector<uint64_t> before = totals();
        std::vector<uint8_t> fr = build_frame(f, MAC_A, MAC_B);
        bpf_test_run_opts o;
        memset(&o, 0, sizeof o);
        o.sz = sizeof o;
        o.data_in = fr.data();
        o.data_size_in = static_cast<uint32_t>(fr.size());
        o.repeat = repeat;
        if (bpf_prog_test_run_opts(prog >= 0 ? prog : g_gate.prog_fd, &o) != 0) return -1;
        if (ns) *ns = o.duration;
        std::vector<uint64_t> after = totals();
        *stat = -1;
        for (int k = 0; k < MW_STAT_COUNT; k++)
            if (after[static_cast<size_t>(k)] != before[static_cast<size_t>(k)]) *stat = *stat < 0 ? k : 9;
        return static_cast<int>(o.retval);
    }
    static std::vector<uint64_t> totals()
    {
        int ncpu = libbpf_num_possible_cpus();
        std::vector<uint64_t> t(MW_STAT_COUNT), v(static_cast<size_t>(ncpu));
        for (uint32_t k = 0; k < MW_STAT_COUNT; k++) {
            bpf_map_lookup_elem(g_gate.fd_stats, &k, v.data());
            for (uint64_t x : v) t[k] += x;
        }
        return t;
    }
    static void block(const char *a, uint32_t len)
    {
        mw_drop4_key k = {len, {}};
        inet_pton(AF_INET, a, k.addr);
        char err[160];
        ASSERT_EQ(gate_block(k, err, sizeof err), 0) << err;
    }
};

struct VerdictRow {
    const char *name;
    Frame f;
    int action;
    int stat;
};

static Frame mk(const char *src, uint8_t proto, uint16_t dport)
{
    Frame f;
    f.src = src;
    f.proto = proto;
    f.dport = dport;
    return f;
}
template <class F> static Frame with(Frame f, F change)
{
    change(f);
    return f;
}

static const VerdictRow VERDICTS[] = {
    {"udp_clean_passes", mk("11.77.0.2", 17, 5000), XDP_PASS, MW_STAT_PASS},
    {"udp_port23_dropped", mk("11.77.0.2", 17, 23), XDP_DROP, MW_STAT_DROPPORT},
    {"tcp_port23_dropped", mk("11.77.0.2", 6, 23), XDP_DROP, MW_STAT_DROPPORT},
    {"tcp_port24_passes", mk("11.77.0.2", 6, 24), XDP_PASS, MW_STAT_PASS},
    {"icmp_clean_passes", mk("11.77.0.2", 1, 23), XDP_PASS, MW_STAT_PASS},
    {"icmp_blocked_src_dropped", mk("11.77.1.9", 1, 0), XDP_DROP, MW_STAT_DROPSRC},
    {"next_24_passes", mk("11.77.2.9", 17, 5000), XDP_PASS, MW_STAT_PASS},
    {"inside_slash8_dropped", mk("203.9.9.9", 17, 5000), XDP_DROP, MW_STAT_DROPSRC},
    {"exact_slash32_dropped", mk("11.80.0.7", 17, 5000), XDP_DROP, MW_STAT_DROPSRC},
    {"beside_slash32_passes", mk("11.80.0.8", 17, 5000), XDP_PASS, MW_STAT_PASS},
    {"src_wins_over_port", mk("11.77.1.9", 17, 23), XDP_DROP, MW_STAT_DROPSRC},
    {"ip_options_port23_dropped", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.ihl = 6; }), XDP_DROP,
     MW_STAT_DROPPORT},
    {"first_fragment_port23_dropped", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.frag = 0x2000; }), XDP_DROP,
     MW_STAT_DROPPORT},
    {"later_fragment_has_no_port", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.frag = 0x0010; }), XDP_PASS,
     MW_STAT_PASS},
    {"later_fragment_blocked_src", with(mk("11.77.1.9", 17, 23), [](Frame &f) { f.frag = 0x0010; }), XDP_DROP,
     MW_STAT_DROPSRC},
    {"vlan_port23_dropped", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.tags = 1; }), XDP_DROP,
     MW_STAT_DROPPORT},
    {"qinq_blocked_src_dropped", with(mk("11.77.1.9", 17, 24), [](Frame &f) { f.tags = 2; }), XDP_DROP,
     MW_STAT_DROPSRC},
    {"qinq_clean_passes", with(mk("11.77.0.2", 6, 24), [](Frame &f) { f.tags = 2; }), XDP_PASS, MW_STAT_PASS},
    {"arp_nonip", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.ethertype = 0x0806; }), XDP_PASS,
     MW_STAT_NONIP},
    {"ipv6_nonip", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.ethertype = 0x86dd; }), XDP_PASS,
     MW_STAT_NONIP},
    {"vlan_tag_cut_off", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.tags = 1; f.cut = 16; }), XDP_DROP,
     MW_STAT_MALFORMED},
    {"ipv4_header_cut_off", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.cut = 14 + 19; }), XDP_DROP,
     MW_STAT_MALFORMED},
    {"ihl_below_5", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.ihl = 4; }), XDP_DROP, MW_STAT_MALFORMED},
    {"version_6_in_ipv4", with(mk("11.77.0.2", 17, 23), [](Frame &f) { f.version = 6; }),
     XDP_DROP, MW_STAT_MALFORMED},
    {"total_below_header", with(mk("11.77.0.2", 17, 5000), [](Frame &f) { f.tot_len = 19; }), XDP_DROP,
     MW_STAT_MALFORMED},
    {"total_beyond_frame", with(mk("11.77.0.2", 17, 5000), [](Frame &f) { f.tot_len = 1500; }), XDP_DROP,
     MW_STAT_MALFORMED},
    {"tcp_header_cut_by_total", with(mk("11.77.0.2", 6, 24), [](Frame &f) { f.tot_len = 20 + 12; }), XDP_DROP,
     MW_STAT_MALFORMED},
    {"options_eat_udp_header", with(mk("11.77.0.2", 17, 24), [](Frame &f) { f.ihl = 15; f.tot_len = 64; }),
     XDP_DROP, MW_STAT_MALFORMED},
    {"total_shorter_than_frame_ok", with(mk("11.77.0.2", 17, 24), [](Frame &f) { f.tot_len = 28; }), XDP_PASS,
     MW_STAT_PASS},
};

class XdpVerdict : public XdpProg, public ::testing::WithParamInterface<VerdictRow> {};

TEST_P(XdpVerdict, OneVerdictOneStatistic)
{
    block("11.77.1.0", 24);
    block("203.0.0.0", 8);
    block("11.80.0.7", 32);
    char err[160];
    ASSERT_EQ(gate_drop_port(23, err, sizeof err), 0);
    int stat = -2;
    EXPECT_EQ(run(GetParam().f, &stat), GetParam().action);
    EXPECT_EQ(stat, GetParam().stat);
}

INSTANTIATE_TEST_SUITE_P(Frames, XdpVerdict, ::testing::ValuesIn(VERDICTS),
                         [](const auto &i) { return std::string(i.param.name); });

// ns/packet for the README: a passed, a source-dropped and a port-dropped
// packet with the 14 bogons and with 10,000 prefixes, against XDP_PASS alone.
TEST_F(XdpProg, CostPerPacket)
{
    const uint32_t REPEAT = 2000000;
    bpf_insn floor_insns[2] = {};
    floor_insns[0].code = BPF_ALU64 | BPF_MOV | BPF_K;
    floor_insns[0].imm = XDP_PASS;
    floor_insns[1].code = BPF_JMP | BPF_EXIT;
    int floor_fd = bpf_prog_load(BPF_PROG_TYPE_XDP, "mw_floor", "GPL", floor_insns, 2, nullptr);
    ASSERT_GE(floor_fd, 0);
    char err[160];
    ASSERT_EQ(gate_drop_port(23, err, sizeof err), 0);
    Frame pass = mk("11.77.0.2", 17, 5000), port = mk("11.77.0.2", 17, 23);
    int stat;
    uint32_t ns = 0;
    ASSERT_EQ(run(pass, &stat, REPEAT, &ns, floor_fd), XDP_PASS);
    printf("\n| prefixes | XDP_PASS floor | passed | src-dropped | port-dropped |\n|---|---|---|---|---|\n");
    uint32_t floor_ns = ns;

    ASSERT_EQ(gate_seed(err, sizeof err), 0);
    std::set<std::pair<uint32_t, uint32_t>> keys;
    // A deep trie: mixed lengths 16 to 32 spread over 100.0.0.0 to 199.255.255.255.
    std::string deepest = "198.51.100.1";
    for (uint32_t i = 0; keys.size() < 14; i++) keys.insert({i, 0}); // the seeded bogons
    for (int pass_no = 0; pass_no < 2; pass_no++) {
        if (pass_no == 1) {
            for (uint32_t i = 0; keys.size() < 10000; i++) {
                uint32_t len = 16 + i % 17;
                uint32_t a = (100u << 24) + ((i * 2654435761u) % (100u << 24));
                a &= len == 32 ? ~0u : ~(~0u >> len);
                if (!keys.insert({a, len}).second) continue;
                mw_drop4_key k = {len, {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                                        static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)}};
                ASSERT_EQ(gate_block(k, err, sizeof err), 0) << err;
                if (len == 32) {
                    char b[16];
                    snprintf(b, sizeof b, "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
                    deepest = b;
                }
            }
        }
        Frame src = mk(deepest.c_str(), 17, 5000);
        uint32_t t[3];
        ASSERT_EQ(run(pass, &stat, REPEAT, &t[0]), XDP_PASS);
        ASSERT_EQ(run(src, &stat, REPEAT, &t[1]), XDP_DROP);
        ASSERT_EQ(stat, MW_STAT_DROPSRC);
        ASSERT_EQ(run(port, &stat, REPEAT, &t[2]), XDP_DROP);
        ASSERT_EQ(stat, MW_STAT_DROPPORT);
        printf("| %zu | %u | %u | %u | %u |\n", keys.size(), floor_ns, t[0], t[1], t[2]);
        // A gate slower than a microsecond per packet would be no early drop at all.
        EXPECT_LT(t[0], 1000u);
    }
    close(floor_fd);
}
