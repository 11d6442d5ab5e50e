#include "ifdetail/ethdev_discover.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/ethtool.h>

#include "ifdetail/ethtool.hpp"
#include "topology/ifaces.hpp"

void eth_stat_key(char *out, size_t size, const char *dev, const char *stat)
{
    std::snprintf(out, size, "%.16s/%.100s", dev, stat);
}

const char *const ETH_WATCH_SUBSTR[] = {
    "drop", "discard", "error", "err", "missed", "fifo", "crc", "fault", "jabber", "oversize",
    "undersize", "fragment", "unknown_protocol", "out_of_buffer", "no_dma", "congst", "alloc_fail", "busy",
    "timeout", "illegal", "csum_bad", "rx_length", "tx_restart", "linearize", "force_wb", "xoff", "xon",
    nullptr,
};

static bool watched_name(const char *name)
{
    for (const char *const *w = ETH_WATCH_SUBSTR; *w; w++)
        if (strcasestr(name, *w)) return true;
    return false;
}

static void discover_stats(EthDev *d)
{
    uint32_t count = 0;
    if (eth_sset_count(d->name, ETH_SS_STATS, &count) != 0 || count < 1 || count > ETH_MAX_STATS) return;
    if (eth_gstrings(d->name, ETH_SS_STATS, count, &d->stat_names) != 0) return;
    d->n_stats = count;
    d->n_watch = 0;
    char name[ETH_GSTRING_LEN_BYTES + 1];
    for (uint32_t i = 0; i < count; i++) {
        eth_name_at(d->stat_names, i, name);
        if (watched_name(name)) d->watch_idx[d->n_watch++] = i;
    }
}

static void discover_pflags(EthDev *d)
{
    uint32_t count = 0;
    if (eth_sset_count(d->name, ETH_SS_PRIV_FLAGS, &count) != 0 || count < 1 || count > ETH_MAX_PFLAGS) return;
    if (eth_gstrings(d->name, ETH_SS_PRIV_FLAGS, count, &d->pflag_names) != 0) return;
    uint32_t word = 0;
    if (eth_pflags(d->name, &word) != 0) return;  // names kept; released with the record
    d->n_pflags = count;
    d->pflags_ok = 1;
    d->pflags = word;
}

void ethdev_discover(EthDev *d, const char *ifname)
{
    // The name may be the record's own (a re-examination): copied before zeroing.
    char name[16];
    std::snprintf(name, sizeof name, "%.15s", ifname);
    std::memset(d, 0, sizeof *d);
    std::memcpy(d->name, name, sizeof name);
    eth_drvinfo(d->name, d->driver);
    discover_stats(d);
    discover_pflags(d);
}

void ethdev_release(EthDev *d)
{
    std::free(d->stat_names);
    std::free(d->pflag_names);
    d->stat_names = d->pflag_names = nullptr;
    d->n_pflags = d->n_stats = 0;
    d->n_watch = 0;
    d->pflags_ok = 0;
}

void nics_rediscover(EthDev *nics, int32_t *n_nics, const char *wan, const char *lan)
{
    for (int32_t i = 0; i < *n_nics && i < MAX_NICS; i++) ethdev_release(&nics[i]);
    *n_nics = 0;
    if (if_exists(wan)) ethdev_discover(&nics[(*n_nics)++], wan);
    if (if_exists(lan) && std::strcmp(lan, wan) != 0) ethdev_discover(&nics[(*n_nics)++], lan);
}

void nics_recount(EthDev *nics, int32_t n_nics)
{
    for (int32_t i = 0; i < n_nics && i < MAX_NICS; i++) {
        if (!nics[i].recount) continue;
        ethdev_release(&nics[i]);
        ethdev_discover(&nics[i], nics[i].name);
    }
}
