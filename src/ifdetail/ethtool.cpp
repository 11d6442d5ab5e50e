#include "ifdetail/ethtool.hpp"

#include <cstddef>
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
#include "core/vis_text.hpp"

static_assert(ETH_GSTRING_LEN == ETH_GSTRING_LEN_BYTES);

static int ioctl_request(const char *ifname, void *cmd)
{
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%.15s", ifname);
    ifr.ifr_data = static_cast<char *>(cmd);
    return ::ioctl(g_ethsock, SIOCETHTOOL, &ifr) == 0 ? 0 : -1;
}

static EthRequestFn g_request = ioctl_request;

void eth_set_request_fn(EthRequestFn fn) { g_request = fn ? fn : ioctl_request; }

int eth_ioctl(const char *ifname, void *cmd) { return g_request(ifname, cmd); }

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

void eth_name_at(const char *block, uint32_t i, char (&out)[ETH_GSTRING_LEN_BYTES + 1])
{
    const char *src = block + static_cast<size_t>(i) * ETH_GSTRING_LEN;
    size_t n = strnlen(src, ETH_GSTRING_LEN);
    std::memcpy(out, src, n);
    out[n] = '\0';
    vis_inplace(out);  // names go to the terminal and into alert texts
}

int eth_drvinfo(const char *ifname, char (&driver)[32])
{
    ethtool_drvinfo info;
    std::memset(&info, 0, sizeof info);
    info.cmd = ETHTOOL_GDRVINFO;
    if (eth_ioctl(ifname, &info) != 0) return -1;
    std::snprintf(driver, sizeof driver, "%.*s", static_cast<int>(strnlen(info.driver, 31)), info.driver);
    vis_inplace(driver);
    return 0;
}

int eth_sset_count(const char *ifname, uint32_t set, uint32_t *count)
{
    if (set >= 64) return -1;
    // One mask bit asked, so the kernel writes at most one count after the header.
    alignas(ethtool_sset_info) unsigned char buf[sizeof(ethtool_sset_info) + sizeof(uint32_t)] = {};
    auto *req = reinterpret_cast<ethtool_sset_info *>(buf);
    req->cmd = ETHTOOL_GSSET_INFO;
    req->sset_mask = 1ull << set;
    if (eth_ioctl(ifname, req) != 0) return -1;
    // The kernel clears the bit of a set the driver does not have.
    if (req->sset_mask == 0) return -1;
    std::memcpy(count, buf + sizeof(ethtool_sset_info), sizeof *count);
    return 0;
}

int eth_pflags(const char *ifname, uint32_t *word)
{
    ethtool_value v;
    std::memset(&v, 0, sizeof v);
    v.cmd = ETHTOOL_GPFLAGS;
    if (eth_ioctl(ifname, &v) != 0) return -1;
    *word = v.data;
    return 0;
}

int eth_gstats(const char *ifname, uint32_t n, EthStats *out, uint32_t *driver_n)
{
    out->v = nullptr;
    // The size can only overflow where size_t is 32 bits wide.
    size_t bytes = 0;
    if (n == 0 || __builtin_mul_overflow(static_cast<size_t>(n), sizeof(uint64_t), &bytes) ||
        __builtin_add_overflow(bytes, sizeof(ethtool_stats), &bytes))
        return -1;
    // Older kernels write as many values as the driver has now, whatever n_stats
    // says (the guard page turns a grown count into EFAULT instead of an overrun);
    // newer ones answer a stale count with no values and n_stats 0.
    if (eth_req_alloc(&out->rb, bytes) != 0) return -1;
    auto *req = static_cast<ethtool_stats *>(out->rb.req);
    req->cmd = ETHTOOL_GSTATS;
    req->n_stats = n;
    if (eth_ioctl(ifname, req) != 0) return -1;
    if (req->n_stats != n) {
        if (driver_n) *driver_n = req->n_stats;
        return -1;
    }
    out->v = reinterpret_cast<const uint64_t *>(req->data);
    return 0;
}
