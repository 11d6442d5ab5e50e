// The XDP gate run by the kernel (BPF_PROG_TEST_RUN) on IPv4, IPv6 and other
// frames the fuzzer makes: every run lands in exactly one of the five
// statistics, and a drop is always a listed source, a listed port or a header
// that cannot be read whole.
// Needs root and a bpffs directory in TW_FUZZ_PINDIR; without them every
// input is passed over.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cstdlib>
#include <linux/bpf.h>
#include <vector>

#include "fuzz_check.hpp"
#include "moatwalld/gate.hpp"

static bool g_ready;
static int g_ncpu;

static const char *const BLOCKED[] = {"10.66.0.0/16", "203.0.113.7/32", "2001:db8:66::/48", "2001:db8::7/128"};
static const uint16_t PORTS[] = {23, 6666};

static bool listed_src(const uint8_t a[4])
{
    return (a[0] == 10 && a[1] == 66) || (a[0] == 203 && a[1] == 0 && a[2] == 113 && a[3] == 7);
}
static bool listed_src6(const uint8_t a[16])
{
    static const uint8_t db8_66[6] = {0x20, 0x01, 0x0d, 0xb8, 0x00, 0x66};
    static const uint8_t db8_7[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
    return std::memcmp(a, db8_66, 6) == 0 || std::memcmp(a, db8_7, 16) == 0;
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
        MwPrefix p;
        if (parse_prefix(b, &p, err, sizeof err) != 0 || gate_block(p, err, sizeof err) != 0) return 0;
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

// Read from the wire rules alone: where the IP header starts (0 when the frame
// is neither IPv4 nor IPv6 after at most two VLAN tags), and whether every
// header the gate must look at is there whole and consistent.
struct Shape {
    size_t l3 = 0;
    bool v6 = false;
    bool readable = false;
    int dport = -1;  // of a whole TCP or UDP first fragment
};

// The transport header at l4 with room bytes left of the datagram.
static void transport(Shape &s, const uint8_t *f, size_t l4, size_t room, uint8_t proto)
{
    if (proto != 6 && proto != 17) {
        s.readable = true;
        return;
    }
    if (room < (proto == 6 ? 20u : 8u)) return;
    s.dport = be16(f + l4 + 2);
    s.readable = true;
}

static void shape4(Shape &s, const uint8_t *f, size_t n)
{
    if (n < s.l3 + 20) return;
    const uint8_t *ip = f + s.l3;
    size_t ihl = (ip[0] & 15) * 4u, tot = be16(ip + 2);
    if (ip[0] >> 4 != 4 || ihl < 20 || tot < ihl || tot > n - s.l3) return;
    if (be16(ip + 6) & 0x1fff) {  // a later fragment carries no ports
        s.readable = true;
        return;
    }
    transport(s, f, s.l3 + ihl, tot - ihl, ip[9]);
}

// Up to six extension headers; a later fragment carries no ports.
static void shape6(Shape &s, const uint8_t *f, size_t n)
{
    if (n < s.l3 + 40) return;
    const uint8_t *ip = f + s.l3;
    size_t plen = be16(ip + 4), off = 0;
    if (ip[0] >> 4 != 6 || plen > n - s.l3 - 40) return;
    uint8_t nh = ip[6];
    auto ext = [](uint8_t h) { return h == 0 || h == 43 || h == 44 || h == 60; };
    for (int i = 0; i < 6 && ext(nh); i++) {
        if (off + 8 > plen) return;
        const uint8_t *h = ip + 40 + off;
        if (nh == 44 && (be16(h + 2) & 0xfff8) != 0) {
            s.readable = true;
            return;
        }
        off += nh == 44 ? 8 : (h[1] + 1u) * 8;
        nh = h[0];
    }
    if (ext(nh) || off > plen) return;
    transport(s, f, s.l3 + 40 + off, plen - off, nh);
}

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
    if (type != 0x0800 && type != 0x86dd) {
        s.readable = true;
        return s;
    }
    s.l3 = at + 2;
    s.v6 = type == 0x86dd;
    if (s.v6)
        shape6(s, f, n);
    else
        shape4(s, f, n);
    return s;
}

static bool listed(const Shape &s, const uint8_t *f)
{
    return s.v6 ? listed_src6(f + s.l3 + 8) : listed_src(f + s.l3 + 12);
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
    if (stat == MW_STAT_DROPSRC) FUZZ_REQUIRE(s.l3 && listed(s, data));
    if (stat == MW_STAT_DROPPORT) FUZZ_REQUIRE(s.l3 && s.readable && s.dport >= 0 && listed_port(static_cast<uint16_t>(s.dport)));
    if (stat == MW_STAT_PASS) FUZZ_REQUIRE(s.l3 && s.readable && !listed(s, data));
    if (stat == MW_STAT_PASS && s.dport >= 0) FUZZ_REQUIRE(!listed_port(static_cast<uint16_t>(s.dport)));
    return 0;
}
