// The watched interfaces, in a fixed order; a name's position is its g_snap slot.
#pragma once
#include <cstdint>

constexpr int MAX_IFACES = 32;
extern char g_ifaces[MAX_IFACES][16];
extern int32_t g_n_ifaces;

bool if_exists(const char *name);
void add_iface(const char *name);
void iface_discover();
