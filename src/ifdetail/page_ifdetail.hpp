// Page 2: per interface link, rates, error and drop counters, and for the NICs
// their private flags and the driver statistics that have moved.
#pragma once
#include <cstdint>

struct EthDev;

// Rebuilds page 2 into PAGES[1]: the header naming the NICs, then every watched
// interface, from the snapshots and what ifdetail_collect read.
void render_interfaces(const EthDev *nics, int32_t n_nics);

// Appends one interface's block.
void render_iface_full(uint32_t index, const char *name, const EthDev *nics, int32_t n_nics);
