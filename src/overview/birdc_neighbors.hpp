// The output of `birdc show ospf neighbors`: a header line holding "router id",
// then one line per neighbour that starts with its router ID, holds its state
// and ends with its interface address.
#pragma once
#include <cstdint>

#include "topology/ospf_expected.hpp"

// What one run of the client showed, folded line by line. Each neighbour is
// matched against the expected ones as it is read, so a table of any length
// finds every expected neighbour in it.
struct BirdcScan {
    bool expected_seen[MAX_OSPF_EXP];  // by g_ospf_exp position: a neighbour had that address
    bool table_seen;                   // a "router id" header line was seen
    char first_line[256];              // first non-empty line, for the no-table notice
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
