// The XDP gate run by the kernel (BPF_PROG_TEST_RUN) on frames the fuzzer
// makes: every run lands in exactly one of the five statistics, and a drop is
// always a listed source, a listed port or a header that cannot be read whole.
// Needs root and a bpffs directory in TW_FUZZ_PINDIR; without them every
// input is passed over.
#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cstdlib>
#include <linux/bpf.h>
#include <vector>

#include "fuzz_check.hpp"
#include "moatwalld/gate.hpp"

static bool g_ready;
static int g_ncpu;

static const char *const BLOCKED[] = {"10.66.0.0/16", "203.0.113.7/32"};
static const uint16_t PORTS[] = {23, 6666};

static bool listed_src(const uint8_t a[4])
{
    return (a[0] == 10 && a[1] == 66) || (a[0] == 203 && a[1] == 0 && a[2] == 113 && a[3] == 7);
}
static bool listed_port(uint16_t p) { return p == 23 || p == 6666; }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *pins = std::getenv("TW_FUZZ_PINDIR");
    const char *obj = std::getenv("TW_FUZZ_BPF_OBJ");
    char err[300];
    if (!pins || !obj || gate_open(pins, obj, "lo", err, sizeof err) != 0) {
        std::fprintf(stderr, "xdp fuzzer: no gate (%s); inputs are passed over\n",
                     pins && obj ? err : "TW_FUZZ_PINDIR / TW_FUZZ_BPF_OBJ unset");
        return 0;
    }
    for (const char *b : BLOCKED) {
        mw_drop4_key k = {};
        char a[20];
        std::snprintf(a, sizeof a, "%s", b);
        char *slash = std::strchr(a, '/');
        *slash = '\0';
        k.prefixlen = static_cast<uint32_t>(std::atoi(slash + 1));
        inet_pton(AF_INET, a, k.addr);
        if (gate_block(k, err, sizeof err) != 0) return 0;
    }
    for (uint16_t p : PORTS)
        if (gate_drop_port(p, err, sizeof err) != 0) return 0;
    g_ncpu = libbpf_num_possible_cpus();
    g_ready = g_ncpu > 0;
    std::atexit(gate_close);
    return 0;
}

static void totals(uint64_t t[MW_STAT_COUNT])
{
    std::vector<uint64_t> v(static_cast<size_t>(g_ncpu));
    for (uint32_t k = 0; k < MW_STAT_COUNT; k++) {
        t[k] = 0;
        if (bpf_map_lookup_elem(g_gate.fd_stats, &k, v.data()) == 0)
            for (uint64_t x : v) t[k] += x;
    }
}

static uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Read from the wire rules alone: where the IPv4 header starts (0 when the frame
// is not IPv4 after at most two VLAN tags), and whether every header the gate
// must look at is there whole and consistent.
struct Shape {
    size_t l3 = 0;
    bool readable = false;
    int dport = -1;  // of a whole TCP or UDP first fragment
};
static Shape shape(const uint8_t *f, size_t n)
{
    Shape s;
    if (n < 14) return s;
    size_t at = 12;
    uint16_t type = be16(f + at);
    for (int i = 0; i < 2 && (type == 0x8100 || type == 0x88a8); i++) {
        if (n < at + 6) return s;
        at += 4;
        type = be16(f + at);
    }
    if (type != 0x0800) {
        s.readable = true;
        return s;
    }
    s.l3 = at + 2;
    if (n < s.l3 + 20) return s;
    const uint8_t *ip = f + s.l3;
    size_t ihl = (ip[0] & 15) * 4u, tot = be16(ip + 2);
    if (ip[0] >> 4 != 4 || ihl < 20 || tot < ihl || tot > n - s.l3) return s;
    bool later_fragment = (be16(ip + 6) & 0x1fff) != 0;
    bool ports = !later_fragment && (ip[9] == 6 || ip[9] == 17);
    if (ports && ihl + (ip[9] == 6 ? 20u : 8u) > tot) return s;
    if (ports) s.dport = be16(ip + ihl + 2);
    s.readable = true;
    return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_ready || size < 14 || size > 1500) return 0;
    uint64_t before[MW_STAT_COUNT], after[MW_STAT_COUNT];
    totals(before);
    bpf_test_run_opts o;
    std::memset(&o, 0, sizeof o);
    o.sz = sizeof o;
    o.data_in = data;
    o.data_size_in = static_cast<uint32_t>(size);
    o.repeat = 1;
    if (bpf_prog_test_run_opts(g_gate.prog_fd, &o) != 0) return 0;
    totals(after);
    int stat = -1, moved = 0;
    for (int k = 0; k < MW_STAT_COUNT; k++) {
        FUZZ_REQUIRE(after[k] >= before[k]);
        if (after[k] != before[k]) {
            moved += static_cast<int>(after[k] - before[k]);
            stat = k;
        }
    }
    FUZZ_REQUIRE(moved == 1);
    bool dropped = o.retval == XDP_DROP;
    FUZZ_REQUIRE(dropped || o.retval == XDP_PASS);
    FUZZ_REQUIRE(dropped == (stat == MW_STAT_DROPSRC || stat == MW_STAT_DROPPORT || stat == MW_STAT_MALFORMED));
    Shape s = shape(data, size);
    if (stat == MW_STAT_MALFORMED) FUZZ_REQUIRE(!s.readable);
    if (stat == MW_STAT_NONIP) FUZZ_REQUIRE(s.l3 == 0);
    if (stat == MW_STAT_DROPSRC) FUZZ_REQUIRE(s.l3 && listed_src(data + s.l3 + 12));
    if (stat == MW_STAT_DROPPORT) {
        size_t ihl = (data[s.l3] & 15) * 4u;
        FUZZ_REQUIRE(s.l3 && size >= s.l3 + ihl + 4 && listed_port(be16(data + s.l3 + ihl + 2)));
    }
    if (stat == MW_STAT_PASS) FUZZ_REQUIRE(s.l3 && s.readable && !listed_src(data + s.l3 + 12));
    if (stat == MW_STAT_PASS && s.dport >= 0) FUZZ_REQUIRE(!listed_port(static_cast<uint16_t>(s.dport)));
    return 0;
}
