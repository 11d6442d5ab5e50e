// What page 2 is built from besides the interface snapshots: the NICs' driver
// statistic values and whether the WAN and LAN exist, read once per sample.
#pragma once
#include <cstdint>

#include "ifdetail/ethdev_discover.hpp"

// One NIC's statistic values of this sample, in driver order.
struct NicValues {
    bool ok;  // read, with the count the record's names have
    uint64_t v[ETH_MAX_STATS];
};
extern NicValues g_nic_vals[MAX_NICS];  // by position in the NIC records

// WAN and LAN, in this order.
constexpr int N_IF_ROLES = 2;
extern bool g_role_missing[N_IF_ROLES];
// The interfaces that do exist, when a role is missing.
extern char g_ifs_here[400];

// Examines records whose count changed, then reads every NIC's values and the roles.
void ifdetail_collect(EthDev *nics, int32_t n_nics);
