// The watched interfaces, in a fixed order; a name's position is its g_snap slot.
#pragma once
#include <cstdint>

// Where the kernel lists the interfaces (under the fixture root).
constexpr const char *SYS_CLASS_NET = "/sys/class/net";

constexpr int MAX_IFACES = 32;
extern char g_ifaces[MAX_IFACES][16];
extern int32_t g_n_ifaces;
// Candidates of the last discovery that did not fit the table, each counted once.
extern int32_t g_ifaces_left_out;

bool if_exists(const char *name);
// False only when the name is not listed yet and the table is full.
bool add_iface(const char *name);
void iface_discover();
