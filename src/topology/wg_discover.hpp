// WireGuard devices, their peers' display names, and per-device peer health.
#pragma once
#include <cstdint>
#include <string_view>

constexpr int MAX_WGDEVS = 8;
extern char g_wgdevs[MAX_WGDEVS][16];
extern int32_t g_n_wgdevs;
// Devices whose configuration file could be read at the last discovery.
extern int32_t g_n_wgconfs;

struct PeerName {
    char key[64];   // public key, whitespace removed
    char name[48];  // display name: first word of the comment above the key
};
constexpr int MAX_PEER_NAMES = 64;
extern PeerName g_peer_names[MAX_PEER_NAMES];
extern int32_t g_n_peer_names;

// Filled by the sample's collection of the peers, read by link_state and the export.
struct WgHealth {
    char name[16];
    int32_t peers;
    int32_t fresh;  // handshake at most 150 s old
};
constexpr int MAX_WG_HEALTH = 8;
extern WgHealth g_wg_health[MAX_WG_HEALTH];
extern int32_t g_n_wg_health;

// How a peer is shown on page 1, in the alert line and in the export: its name
// from the configuration, else the first 12 characters of its key. Cut to 63
// bytes first, then filtered, so a cut through a UTF-8 sequence leaves no half.
void wg_peer_display_name(std::string_view key, char out[64]);

// Rebuilds g_wgdevs and g_peer_names from sysfs and the configuration files.
void wg_discover();

// What one device's configuration file has said so far: inside a [Peer]
// section or not, and the last plain comment that may name the next key.
struct WgConfState {
    bool in_peer = false;
    char pending[128] = "";
};
// Takes one line of a configuration file (modified in place); a PublicKey line
// with a pending name adds a g_peer_names entry.
void wg_conf_line(WgConfState *st, char *line);
// Reads one configuration file line by line into g_peer_names; a missing or
// unreadable file adds nothing and gives false.
bool wg_conf_names_load(const char *path);
// The same on a file's contents already in memory.
void wg_conf_names_parse(std::string_view text);
