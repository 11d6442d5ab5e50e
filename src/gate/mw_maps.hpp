// The gate's pinned maps, read straight through the bpf system call so the
// counters and drop lists stay visible while the daemon is down.
#pragma once
#include <cstdint>

#include "gate/moatwall_contract.h"

extern int g_mw_fd_drop;
extern int g_mw_fd_ports;
extern int g_mw_fd_stats;
extern int g_mw_ncpu;
extern mw_drop4_key g_mw_pfx[256];
extern int g_mw_npfx;
extern uint16_t g_mw_port[64];
extern int g_mw_nport;

// Values one per-CPU lookup returns, from the possible-CPU file (once).
int mw_cpu_count();
// CPUs in a possible-CPU list ("0", "0-7", "0-3,8-11"); -1 for any other form.
long mw_count_cpu_list(const char *s);
// Opens the pins that are not open yet; a missing one is tried again next time.
void mw_open_maps();
// Appends the five statistics lines to page 4, or the "not readable" line.
void mw_stats_block();
// Rebuilds g_mw_pfx and g_mw_port from the open maps.
void mw_read_lists();
void mw_close_maps();
void mw_stat_line(const char *label, const char *name, uint64_t total, int alerting);
