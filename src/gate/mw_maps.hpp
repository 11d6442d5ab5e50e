// The gate's pinned maps, read straight through the bpf system call so the
// counters and drop lists stay visible while the daemon is down.
#pragma once
#include <cstddef>
#include <cstdint>

#include "moatwall/moatwall_contract.h"

// The gate's statistics as page 4 shows them and the export labels them, in
// page order: map key, counter key, page label, export verdict, alerting.
struct MwStatRow {
    uint32_t key;
    const char *name;
    const char *label;
    const char *verdict;
    int alerting;
};
inline constexpr MwStatRow MW_STAT_ROWS[] = {
    {MW_STAT_PASS, "mw.pass", "passed", "passed", 0},
    {MW_STAT_NONIP, "mw.nonip", "passed non-ip", "passed_nonip", 0},
    {MW_STAT_DROPSRC, "mw.dropsrc", "dropped src", "dropped_src", 0},
    {MW_STAT_DROPPORT, "mw.dropport", "dropped dport", "dropped_dport", 0},
    {MW_STAT_MALFORMED, "mw.malformed", "malformed", "malformed", 1},
};

constexpr int MW_N_STATS = sizeof MW_STAT_ROWS / sizeof MW_STAT_ROWS[0];

// The statistics the last collect read, in MW_STAT_ROWS order, and the growth
// the sample's page showed: counters roll at the end of the sample, so a
// re-render after a key could not work the growth out again.
struct MwStats {
    bool taken;  // the sample's block was built
    bool readable;
    uint64_t total[MW_N_STATS];
    int64_t growth[MW_N_STATS];
};
extern MwStats g_mw_stats;

// Rows the page holds of each list; the true counts are kept beside them.
constexpr int MW_MAX_PFX = 256;
constexpr int MW_MAX_PORT = 64;

// A drop prefix of either family, as the daemon's text names it.
struct MwPrefix {
    int family;  // AF_INET or AF_INET6
    uint32_t prefixlen;
    uint8_t addr[16];  // network order; IPv4 in the first 4 bytes
};

extern int g_mw_fd_drop;
extern int g_mw_fd_drop6;
extern int g_mw_fd_ports;
extern int g_mw_fd_stats;
extern int g_mw_ncpu;
extern MwPrefix g_mw_pfx[MW_MAX_PFX];  // IPv4 first, then IPv6
extern int g_mw_npfx;                  // rows held
extern int g_mw_npfx_all;              // prefixes in both maps
extern uint16_t g_mw_port[MW_MAX_PORT];
extern int g_mw_nport;
extern int g_mw_nport_all;

// The possible CPUs, whose count sizes a per-CPU lookup.
constexpr const char *CPU_POSSIBLE = "/sys/devices/system/cpu/possible";

// Values one per-CPU lookup returns, from the possible-CPU file (once).
int mw_cpu_count();
// CPUs in a possible-CPU list ("0", "0-7", "0-3,8-11"); -1 for any other form.
long mw_count_cpu_list(const char *s);
// Opens the pins that are not open yet; a missing one is tried again next time.
void mw_open_maps();
// After mw_open_maps: the first pin not open, with why in why (the system's
// reason, or a map of another layout); nullptr when all are open.
const char *mw_maps_missing(char *why, size_t size);
// Reads the statistics for the sample's page. Once per sample.
void mw_stats_read();
// Appends their five lines (with the growth since the previous sample) to page
// 4, or the "not readable" line, and raises the alert. Once per sample.
void mw_stats_block();
// The same lines again, as the sample's read showed them, for a re-render
// between samples: the growth stays and no alert is raised twice.
void mw_stats_block_again();
// Rebuilds the lists from the open maps, counting every key.
void mw_read_lists();
void mw_close_maps();
// "addr/len", compressed for IPv6.
void mw_prefix_text(const MwPrefix &p, char *out, size_t size);
