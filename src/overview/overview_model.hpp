// What page 1 is built from: read from the kernel and the tools once per
// sample, before any page is rebuilt, and kept until the next sample.
#pragma once

#include <cstdint>

#include "overview/birdc_run.hpp"
#include "overview/conntrack.hpp"
#include "overview/tool_lines.hpp"
#include "topology/wg_discover.hpp"

// The link statistics shown for each WireGuard device, in this order.
constexpr int N_WG_LINK_STATS = 4;
constexpr const char *WG_LINK_STATS[N_WG_LINK_STATS] = {"tx_errors", "tx_dropped", "rx_errors", "rx_dropped"};
extern uint64_t g_wg_link[MAX_WGDEVS][N_WG_LINK_STATS];  // by g_wgdevs position

struct SoftnetSums {
    uint64_t drops, squeeze;
};
extern SoftnetSums g_softnet;


// One device's `wg show DEV dump`, or its lines of the shared `wg show all dump`
// (the device's own line first, as its own run prints it).
struct WgDump {
    bool ran;  // false: wg could not be started
    ToolLines lines;
};
extern WgDump g_wg_dump[MAX_WGDEVS];  // by g_wgdevs position

// The BIRD client's check and its `show ospf neighbors`.
struct OspfRun {
    BirdcClient client;
    bool started;    // the neighbour command was started
    bool timed_out;  // it was cut off, or refused, for want of time
    ToolLines lines;
};
extern OspfRun g_ospf_run;

// Runs every device's dump and fills g_wg_dump, then g_wg_health from it.
void wg_peers_collect();
// Counts every device's peers and fresh peers of g_wg_dump into g_wg_health.
void wg_health_count();
// Checks for the client and runs it into g_ospf_run.
void ospf_collect();
// Everything above, and the kernel files of page 1.
void overview_collect();
