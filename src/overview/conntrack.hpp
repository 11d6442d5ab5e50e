// Connection-tracking fill: entry count, table maximum and the fill percentage.
#pragma once
#include <cstdint>

// count is 0 when unreadable; max is 1 when unreadable or 0; pct = count*100/max.
void conntrack_read(uint64_t *count, uint64_t *max, uint32_t *pct);
