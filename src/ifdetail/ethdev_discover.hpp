// The physical NICs (WAN and LAN) as their drivers describe them through ethtool:
// driver name, statistic names with the ones worth watching, private flags.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t ETH_MAX_STATS = 1024;
constexpr uint32_t ETH_MAX_PFLAGS = 32;
constexpr int MAX_NICS = 2;

struct EthDev {
    char name[16];
    uint32_t n_stats;           // 0 when the driver gave no list
    char *stat_names;           // n_stats names, 32 bytes each, driver order; owned
    int32_t n_watch;
    uint32_t watch_idx[ETH_MAX_STATS];  // watched statistics, ascending
    uint32_t n_pflags;          // non-zero only with pflags_ok
    char *pflag_names;          // 32 bytes each; owned
    uint32_t pflags;            // bit i is flag i, as read at discovery
    int32_t pflags_ok;
    char driver[32];            // empty when unavailable
    // The driver's statistic count no longer matched n_stats: the record is
    // examined again at the next sample, and no values are read until then.
    int32_t recount;
};

// Substrings (case ignored) that make a driver statistic worth watching; null-terminated.
extern const char *const ETH_WATCH_SUBSTR[];

// The counter key of a driver statistic, "<dev>/<stat>" (both cut), which page 2
// records and the export reads back.
void eth_stat_key(char *out, size_t size, const char *dev, const char *stat);

// Fills d from scratch for ifname; always leaves a consistent record, whatever fails.
void ethdev_discover(EthDev *d, const char *ifname);
// Frees the record's name blocks and empties its lists.
void ethdev_release(EthDev *d);

// Releases every record in use, then examines the WAN into entry 0 and the LAN
// (when it exists and is not the WAN) into the next one; absent NICs get no record.
void nics_rediscover(EthDev *nics, int32_t *n_nics, const char *wan, const char *lan);
// Examines again every record whose statistic count changed since its discovery.
void nics_recount(EthDev *nics, int32_t n_nics);
