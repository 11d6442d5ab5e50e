// Page 4, "Moatwall": the gate's state, counters and drop lists, and the keys
// that command the gate daemon and re-point the monitor's WAN and LAN.
#pragma once
#include <cstdint>

extern int32_t g_mw_force_redisc;

struct MwNic {
    char name[16];
    char driver[32];
    char state[16];
    int64_t speed;  // Mb/s, -1 when unreadable
    int in_gate;
};

struct MwPortPreset {
    uint16_t port;
    const char *label;
};

extern const MwPortPreset MW_PORT_PRESETS[8];
extern const char *const MW_NIC_ACTIONS[4];

extern int g_mw_mode;  // 0 normal, 1 prefix input, 2 custom port, 3 port menu, 4 NIC list, 5 NIC actions
extern int g_mw_pane;  // 0 drop prefixes, 1 drop ports
extern int g_mw_sel;
extern int g_mw_msel;
extern char g_mw_in[48];
extern int g_mw_inlen;
extern MwNic g_mw_nic[16];
extern int g_mw_nnic;
extern int g_mw_nic_pick;

// Reads what page 4 shows: the daemon's status, the pinned statistics and
// lists. Once per sample, before the page is built.
void mw_collect();
// Builds page 4 (appends to its buffer) from what was read, once per sample.
void mw_render();
// Builds it again after a key, between samples, from the same reads (a
// command's key reads the status and lists again itself).
void mw_render_again();
// Rebuilds g_mw_nic from /sys/class/net: device-backed interfaces only.
void mw_scan_nics();
void mw_add_port(unsigned int port);
// Offers one key (a byte, or a KEY_* code of core/keys.hpp) while page 4 is
// shown. Returns 1 when the page took it (the caller then rebuilds and
// repaints page 4), 0 when it is left to the global keys.
int mw_key(int key);
// Whether mw_key would take the key, without taking it.
bool mw_takes_key(int key);
