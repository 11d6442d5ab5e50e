// Ethtool requests on the shared socket g_ethsock.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t ETH_GSTRING_LEN_BYTES = 32;

// Issues SIOCETHTOOL for ifname (cut to 15 characters) with the command structure
// cmd. Returns 0, or -1 when the request fails.
int eth_ioctl(const char *ifname, void *cmd);

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
