// One peer line of `wg show DEV dump`: tab-separated public key, preshared key,
// endpoint, allowed IPs, latest handshake, rx bytes, tx bytes, keepalive.
#pragma once
#include <cstdint>
#include <string_view>

struct ToolRun;

struct WgDumpPeer {
    std::string_view key;       // field 1, points into the parsed line
    std::string_view endpoint;  // field 3, "(none)" when the peer has none
    int64_t handshake;          // field 5, seconds since the epoch; 0 = never
    uint64_t rx, tx;            // fields 6 and 7
};

// Splits at tabs (runs of tabs are one separator) into at most 8 fields.
// Returns false for a line with fewer than 7 fields, which is no peer line.
bool wg_dump_parse_peer(std::string_view line, WgDumpPeer *out);

// `wg show all dump` puts the device and a tab before each line that
// `wg show DEV dump` prints. Splits them; false for a line without a tab.
bool wg_dump_split_device(std::string_view line, std::string_view *dev, std::string_view *rest);

// Starts `wg show DEV dump` (tool_start's result); page 1 and --check read it.
int wg_dump_start(ToolRun *run, const char *dev);

// A handshake older than this many seconds means the tunnel is not working.
constexpr int64_t WG_FRESH_SECS = 150;
// Clocks of router and peer drift a little; a handshake further ahead of the
// sample time than this is a wrong clock or a garbled field, not a fresh tunnel.
constexpr int64_t WG_CLOCK_SKEW_SECS = 60;

enum HsState { HS_NEVER, HS_STALE, HS_AHEAD, HS_FRESH };

// A handshake judged at the sample time now; *age gets now - handshake,
// saturated (0 for none).
HsState wg_handshake_state(int64_t handshake, int64_t now, int64_t *age);
