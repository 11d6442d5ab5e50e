// Page 1: WireGuard, UDP, IP stack, softnet, conntrack, interfaces and OSPF.
#pragma once
#include <cstdint>

// The endpoint last seen per peer key, over all WireGuard devices and the whole
// run (rediscovery keeps it), so a roam is reported once, in the sample after it.
struct PeerEndpoint {
    char key[64];
    char endpoint[80];
};
constexpr int MAX_PEER_EPS = 64;
extern PeerEndpoint g_peer_eps[MAX_PEER_EPS];
extern int32_t g_n_peer_eps;

// Rebuilds page 1 into PAGES[0] and raises its alerts, from what the sample
// collected (overview/overview_model.hpp, the statistics table, the snapshots).
void render_overview();

// Peer rows shown per WireGuard device; further peers are summed up in one line.
constexpr int WG_MAX_SHOWN = 256;

// The peers section of WireGuard device d (g_wgdevs position) from its collected dump.
void wg_peers_section(int32_t d);
