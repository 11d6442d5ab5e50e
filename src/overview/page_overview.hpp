// Page 1: WireGuard, UDP, IP stack, softnet, conntrack, interfaces and OSPF.
#pragma once
#include <cstdint>

struct WgHealth;

// The endpoint last seen per peer key, over all WireGuard devices and the whole
// run (rediscovery keeps it), so a roam is reported once, in the sample after it.
struct PeerEndpoint {
    char key[64];
    char endpoint[80];
};
constexpr int MAX_PEER_EPS = 64;
extern PeerEndpoint g_peer_eps[MAX_PEER_EPS];
extern int32_t g_n_peer_eps;

// Rebuilds page 1 into PAGES[0] and raises its alerts; once per sample, after the
// statistics table and the interface snapshots are fresh.
void render_overview();

// Peer rows shown per WireGuard device; further peers are summed up in one line.
constexpr int WG_MAX_SHOWN = 256;

// The peers of one WireGuard device from `wg show DEV dump`, counted into rec
// (nullptr when the device has no health record).
void wg_peers_section(const char *dev, WgHealth *rec);
// Takes every device's dump from one `wg show all dump` when there are several
// devices, for the sections of the render that follows; once per sample.
void wg_peers_collect();
