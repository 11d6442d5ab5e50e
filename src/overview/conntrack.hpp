// Connection-tracking fill: entry count, table maximum and the fill percentage.
#pragma once
#include <cstdint>

constexpr const char *CONNTRACK_COUNT = "/proc/sys/net/netfilter/nf_conntrack_count";
constexpr const char *CONNTRACK_MAX = "/proc/sys/net/netfilter/nf_conntrack_max";

// One read per sample, which page 1 and the export both show.
struct ConntrackFill {
    uint64_t count = 0;
    uint64_t max = 1;
    uint32_t pct = 0;
};
extern ConntrackFill g_conntrack;

// Reads the sample's fill into g_conntrack.
void conntrack_collect();
// count is 0 when unreadable; max is 1 when unreadable or 0; pct = count*100/max.
void conntrack_read(uint64_t *count, uint64_t *max, uint32_t *pct);
