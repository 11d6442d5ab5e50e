// The output of `birdc show ospf neighbors`: a header line holding "router id",
// then one line per neighbour that starts with its router ID, holds its state
// and ends with its interface address.
#pragma once
#include <cstdint>

constexpr int BIRDC_MAX_ADDRS = 32;

// What one run of the client showed, folded line by line.
struct BirdcScan {
    char addrs[BIRDC_MAX_ADDRS][48];  // neighbour addresses, normalised; the surplus is dropped
    int32_t n_addrs;
    bool table_seen;                  // a "router id" header line was seen
    char first_line[256];             // first non-empty line, for the no-table notice
};

enum BirdcLineKind { BIRDC_OTHER, BIRDC_HEADER, BIRDC_NEIGHBOR };

void birdc_scan_init(BirdcScan *s);
// Folds one line (trailing blanks already removed) into s. For a neighbour line
// *entry points at the line without its leading blanks and *full tells whether
// the state reads Full.
BirdcLineKind birdc_scan_line(BirdcScan *s, const char *line, const char **entry, bool *full);
// Whether text starts with a dotted quad of numbers up to 255 (a router ID).
bool birdc_starts_with_quad(const char *text);
// The last IPv4 address in text, normalised like the expected addresses.
bool birdc_last_ipv4(const char *text, char out[48]);
