#include "topology/wg_discover.hpp"

char g_wgdevs[MAX_WGDEVS][16];
int32_t g_n_wgdevs = 0;
PeerName g_peer_names[MAX_PEER_NAMES];
int32_t g_n_peer_names = 0;
WgHealth g_wg_health[MAX_WG_HEALTH];
int32_t g_n_wg_health = 0;

void wg_discover() { g_n_wgdevs = 0; g_n_peer_names = 0; }
