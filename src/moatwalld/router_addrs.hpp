// What the router itself needs to hear on the gated NIC: its own addresses
// there and the next hops of the routes through it (OSPF neighbours, the
// default gateway), also on the VLANs over the NIC and on the bridge or bond
// it belongs to, whose frames the gate sees too. A drop prefix covering one
// of them cuts the router off.
#pragma once
#include <cstdint>

#define MW_ROUTER_ADDRS_MAX 64

struct RouterAddr {
    int family;  // AF_INET or AF_INET6
    bool hop;    // a next hop (or point-to-point peer), not our own address
    uint8_t addr[16];
    char ifname[16];  // where it is configured or routed through
};

struct RouterAddrs {
    int n;
    RouterAddr a[MW_ROUTER_ADDRS_MAX];  // a full table ignores the rest
};

// Reads them from the kernel for ifname; none when it does not exist.
void router_addrs(const char *ifname, RouterAddrs *out);
