// WireGuard devices, their peers' display names, and per-device peer health.
#pragma once
#include <cstdint>

constexpr int MAX_WGDEVS = 8;
extern char g_wgdevs[MAX_WGDEVS][16];
extern int32_t g_n_wgdevs;

// Rebuilds g_wgdevs and the peer names from sysfs and the configuration files.
void wg_discover();
