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
