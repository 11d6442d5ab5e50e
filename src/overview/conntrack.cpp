#include "overview/conntrack.hpp"

#include <cstdlib>

#include "core/kernel_file.hpp"

ConntrackFill g_conntrack;

// A /proc/sys value as an unsigned number; false when the file cannot be read.
static bool read_u64(const char *kpath, uint64_t *v)
{
    char buf[64];
    if (kfile_str(buf, sizeof buf, "%s", kpath) != 0) return false;
    *v = std::strtoull(buf, nullptr, 10);
    return true;
}

void conntrack_read(uint64_t *count, uint64_t *max, uint32_t *pct)
{
    if (!read_u64(CONNTRACK_COUNT, count)) *count = 0;
    // Without conntrack (module not loaded) the maximum reads as 1, which keeps
    // the division defined and shows the count itself as the fill.
    if (!read_u64(CONNTRACK_MAX, max) || *max == 0) *max = 1;
    *pct = static_cast<uint32_t>(*count * 100 / *max);
}

void conntrack_collect() { conntrack_read(&g_conntrack.count, &g_conntrack.max, &g_conntrack.pct); }
