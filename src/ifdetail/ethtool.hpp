// Ethtool requests on the shared socket g_ethsock.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t ETH_GSTRING_LEN_BYTES = 32;

// Issues SIOCETHTOOL for ifname (cut to 15 characters) with the command structure
// cmd. Returns 0, or -1 when the request fails.
int eth_ioctl(const char *ifname, void *cmd);

// What eth_ioctl sends a request through: the real ioctl, or (tests) a replay of
// recorded driver replies, for what a veth cannot produce. nullptr restores the
// real one. The function gets the framed command exactly as the kernel would.
using EthRequestFn = int (*)(const char *ifname, void *cmd);
void eth_set_request_fn(EthRequestFn fn);

// A zeroed request area of a given size that ends right before an inaccessible
// page. Kernels that answer with the driver's current count instead of the
// caller's (string sets, statistics) then fail the request with EFAULT rather than
// write past the area when the driver's count has grown.
struct EthReqBuf {
    void *req = nullptr;  // the area itself
    void *map = nullptr;
    size_t map_len = 0;
    EthReqBuf() = default;
    EthReqBuf(const EthReqBuf &) = delete;
    EthReqBuf &operator=(const EthReqBuf &) = delete;
    ~EthReqBuf();
};
// Returns 0 with b->req pointing at size zero bytes, or -1.
int eth_req_alloc(EthReqBuf *b, size_t size);

// Names of one string set: a new heap block of count * 32 bytes through out, in
// driver order; the caller frees it with free(). Returns 0, or -1 with out
// untouched (also when the driver's set no longer has count names).
int eth_gstrings(const char *ifname, uint32_t set, uint32_t count, char **out);

// Name i of such a block as text: at most 32 bytes (a name may fill its slot with
// no terminator), control bytes shown as '?'.
void eth_name_at(const char *block, uint32_t i, char (&out)[ETH_GSTRING_LEN_BYTES + 1]);

// The driver's name (at most 31 characters). Returns 0, or -1 with driver untouched.
int eth_drvinfo(const char *ifname, char (&driver)[32]);
// The size of one string set (ETH_SS_*) as the driver counts it now. Returns 0, or
// -1 when the request fails or the driver does not know the set.
int eth_sset_count(const char *ifname, uint32_t set, uint32_t *count);
// The private-flag word. Returns 0, or -1 with word untouched.
int eth_pflags(const char *ifname, uint32_t *word);

// The driver statistic values of one request, n of them in driver order.
struct EthStats {
    EthReqBuf rb;
    const uint64_t *v = nullptr;
};
// One ETHTOOL_GSTATS sized for n values, behind a guard page. Returns 0, or -1
// when the request fails, also when the driver answered with another count than
// n (then the values would not line up with the names), which then goes in
// *driver_n when it is not null.
int eth_gstats(const char *ifname, uint32_t n, EthStats *out, uint32_t *driver_n = nullptr);
