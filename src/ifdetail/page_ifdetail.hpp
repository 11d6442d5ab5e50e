// Page 2: per interface link, rates, error and drop counters, and for the NICs
// their private flags and the driver statistics that have moved.
#pragma once
#include <cstdint>

struct EthDev;

// Rebuilds page 2 into PAGES[1]: the header naming the NICs, then every watched
// interface. Once per sample, after the snapshots and the Overview page. Records
// whose statistic count changed last sample are examined again first.
void render_interfaces(EthDev *nics, int32_t n_nics);

// Appends one interface's block; at most one statistics request per NIC.
void render_iface_full(uint32_t index, const char *name, EthDev *nics, int32_t n_nics);
