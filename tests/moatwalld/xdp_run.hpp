// The gate's XDP program run by the kernel on frames built here
// (BPF_PROG_TEST_RUN), and a deep prefix trie to run it against: for the
// program's tests and for its cost measurement in bench/moatwalld.
#pragma once
#include <algorithm>
#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <set>
#include <string>
#include <vector>

#include "moatwalld/gate.hpp"
#include "support/gate_rig.hpp"

// The verdict of `repeat` runs of f, -1 when the kernel refused; *ns its time per run.
inline int xdp_run(int prog, const Frame &f, int repeat, uint32_t *ns = nullptr)
{
    static const uint8_t MAC_A[6] = {2, 0, 0, 0, 0, 1}, MAC_B[6] = {2, 0, 0, 0, 0, 2};
    std::vector<uint8_t> fr = build_frame(f, MAC_A, MAC_B);
    LIBBPF_OPTS(bpf_test_run_opts, o, .data_in = fr.data(), .data_size_in = uint32_t(fr.size()), .repeat = repeat);
    if (bpf_prog_test_run_opts(prog, &o) != 0) return -1;
    if (ns) *ns = o.duration;
    return int(o.retval);
}

// Blocks pseudo-random prefixes of lengths lo to lo + 16 (IPv4) or lo + 96
// (IPv6) inside a quarter of the space, a deep trie, until keys holds want of
// them; the first address of the longest comes back, or "" with err set when
// the gate refused one.
inline std::string block_trie(int family, size_t want, std::set<std::vector<uint8_t>> &keys, char *err, size_t errlen)
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
