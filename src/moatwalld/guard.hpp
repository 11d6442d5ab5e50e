// Lists that cannot cut the router off: the seed set, and the checks of
// block, seed, move and attach against what the router needs on its NIC.
#pragma once
#include <cstddef>

#include "moatwalld/args.hpp"

struct Reply;

// Refuses /0 and a prefix covering a router address on the gate's NIC:
// 0, or -1 with the reason in err.
int guard_block(const MwPrefix &p, char *err, size_t errlen);
// Adds the seed set, skipping (one data line each) what the router needs.
int guard_seed(Reply *r, char *err, size_t errlen);
// One data line for each listed prefix that covers a router address on the
// gate's NIC (after a move or an attach).
void guard_conflicts(Reply *r);
// Refuses a NIC the gate must not move to (loopback, not Ethernet):
// 0, or -1 with the reason in err.
int guard_move(const char *ifname, char *err, size_t errlen);
