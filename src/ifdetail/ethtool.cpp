#include "ifdetail/ethtool.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "core/settings.hpp"

static_assert(ETH_GSTRING_LEN == ETH_GSTRING_LEN_BYTES);

int eth_ioctl(const char *ifname, void *cmd)
{
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%.15s", ifname);
    ifr.ifr_data = static_cast<char *>(cmd);
    return ::ioctl(g_ethsock, SIOCETHTOOL, &ifr) == 0 ? 0 : -1;
}

EthReqBuf::~EthReqBuf()
{
    if (map) ::munmap(map, map_len);
}

int eth_req_alloc(EthReqBuf *b, size_t size)
{
    if (b->map) ::munmap(b->map, b->map_len);
    b->req = b->map = nullptr;
    b->map_len = 0;
    long pg = ::sysconf(_SC_PAGESIZE);
    size_t page = pg > 0 ? static_cast<size_t>(pg) : 4096;
    if (size > SIZE_MAX - 2 * page) return -1;
    size_t data_len = (size + page - 1) / page * page;
    void *m = ::mmap(nullptr, data_len + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return -1;
    char *base = static_cast<char *>(m);
    if (::mprotect(base + data_len, page, PROT_NONE) != 0) {
        ::munmap(m, data_len + page);
        return -1;
    }
    b->map = m;
    b->map_len = data_len + page;
    // Anonymous pages come zeroed; the area is placed flush against the guard page.
    // Request sizes are multiples of 4, which keeps the u32 fields aligned.
    b->req = base + (data_len - size);
    return 0;
}

int eth_gstrings(const char *ifname, uint32_t set, uint32_t count, char **out)
{
    // A length of 0 asks the kernel for the whole set, which would not fit.
    if (count == 0) return -1;
    size_t names = static_cast<size_t>(count) * ETH_GSTRING_LEN;
    if (names / ETH_GSTRING_LEN != count || names > SIZE_MAX - sizeof(ethtool_gstrings)) return -1;

    EthReqBuf rb;
    if (eth_req_alloc(&rb, sizeof(ethtool_gstrings) + names) != 0) return -1;
    auto *req = static_cast<ethtool_gstrings *>(rb.req);
    req->cmd = ETHTOOL_GSTRINGS;
    req->string_set = set;
    req->len = count;
    if (eth_ioctl(ifname, req) != 0) return -1;
    // The set changed size since it was counted: newer kernels then answer with no
    // names at all (len 0), older ones with more than asked for.
    if (req->len != count) return -1;

    char *block = static_cast<char *>(std::malloc(names));
    if (!block) return -1;
    std::memcpy(block, req->data, names);
    *out = block;
    return 0;
}
