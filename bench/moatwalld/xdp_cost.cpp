// The gate's cost per packet as the kernel times its XDP program
// (BPF_PROG_TEST_RUN, 2,000,000 runs a frame): a passed, a source-dropped (at
// the trie's deepest prefix) and a port-dropped packet of each family, with a
// few prefixes and with 10,000, beside a program that only returns XDP_PASS.
// Prints the README's table. Needs root:
//   cmake --build BUILD --target moatwall_xdp_cost && BUILD/src/moatwalld/moatwall_xdp_cost
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <linux/bpf.h>
#include <set>
#include <unistd.h>

#include "moatwalld/xdp_run.hpp"

static constexpr int REPEAT = 2000000;

// Blocks pseudo-random prefixes of lengths lo to lo + 16 (IPv4) or lo + 96
// (IPv6) inside a quarter of the space, a deep trie, until keys holds want of
// them; the first address of the longest comes back, or "" with err set when
// the gate refused one.
static std::string block_trie(int family, size_t want, std::set<std::vector<uint8_t>> &keys, char *err, size_t errlen)
{
    const unsigned bytes = family == AF_INET ? 4 : 16, lo = bytes == 4 ? 16 : 32, span = bytes == 4 ? 17 : 97;
    char text[64];
    MwPrefix deepest = {family, 0, {}};
    for (uint64_t i = 0; keys.size() < want; i++) {
        MwPrefix p = {family, lo + unsigned(i % span), {}};
        uint64_t x = i * 0x9e3779b97f4a7c15ull;
        for (unsigned b = 0; b < bytes; b++) p.addr[b] = uint8_t(x >> (8 * (b % 8)) ^ (b * 37));
        p.addr[0] = uint8_t(bytes == 4 ? 100 + p.addr[0] % 50 : 0x20 + p.addr[0] % 16);
        for (unsigned b = 0; b < bytes; b++) p.addr[b] &= uint8_t(0xff00u >> std::clamp(int(p.len) - 8 * int(b), 0, 8));
        std::vector<uint8_t> k(p.addr, p.addr + bytes);
        k.push_back(uint8_t(p.len));
        if (keys.insert(k).second && gate_block(p, err, errlen) != 0) return "";
        if (p.len > deepest.len) deepest = p;
    }
    return inet_ntop(family, deepest.addr, text, sizeof text);
}

int main()
{
    if (std::string why = gate_skip_reason(); !why.empty()) {
        fprintf(stderr, "moatwall_xdp_cost: %s\n", why.c_str());
        return 77;
    }
    BpfDir dir;
    char err[300] = "";
    if (gate_open(dir.pindir.c_str(), MW_OBJ, "lo", err, sizeof err) != 0 || gate_drop_port(23, err, sizeof err) != 0) {
        fprintf(stderr, "moatwall_xdp_cost: %s\n", err);
        return 1;
    }
    bpf_insn floor[2] = {{BPF_ALU64 | BPF_MOV | BPF_K, 0, 0, 0, XDP_PASS}, {BPF_JMP | BPF_EXIT, 0, 0, 0, 0}};
    int floor_fd = bpf_prog_load(BPF_PROG_TYPE_XDP, "mw_floor", "GPL", floor, 2, nullptr);
    uint32_t floor_ns = 0, t[3] = {};
    xdp_run(floor_fd, "", REPEAT, &floor_ns);
    close(floor_fd);
    printf("| family | prefixes in trie | XDP_PASS only (floor) | passed | src-dropped | port-dropped |\n");
    printf("|---|---|---|---|---|---|\n");
    std::set<std::vector<uint8_t>> keys[2];
    int rc = 0;
    for (int v6 : {0, 1}) {
        for (size_t want : {21, 10000}) {
            const std::string deepest = block_trie(v6 ? AF_INET6 : AF_INET, want, keys[v6], err, sizeof err);
            const std::string clean = v6 ? "2a0e:77::2" : "11.77.0.2";
            const std::string f[3] = {"src=" + clean, "src=" + deepest, "src=" + clean + " dport=23"};
            for (int i = 0; i < 3; i++) {
                if (xdp_run(g_gate.prog_fd, f[i], REPEAT, &t[i]) != (i ? XDP_DROP : XDP_PASS)) rc = 1;
            }
            printf("| %s | %zu | %u | %u | %u | %u |\n", v6 ? "IPv6" : "IPv4", want, floor_ns, t[0], t[1], t[2]);
        }
    }
    gate_close();
    if (rc) fprintf(stderr, "moatwall_xdp_cost: a wrong verdict (%s)\n", err);
    return rc;
}
