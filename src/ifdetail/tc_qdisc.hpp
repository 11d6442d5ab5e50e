// Parser of one `tc -s qdisc show` listing of every device: each qdisc line names
// its device ("qdisc htb 1: dev eth0 root ..."), and the lines after it, up to
// the next qdisc line, are that qdisc's options and statistics. The watched
// devices' qdisc kinds and drops are sorted out of it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// Longest line kept from the listing; the rest of a longer line is skipped.
constexpr size_t TC_LINE_MAX = 511;
// Watched devices one listing is sorted out for.
constexpr int TC_MAX_DEVS = 32;

// Adds the count after the first "dropped " of one line to *sum (saturating).
// Returns whether the line held one.
bool tc_drops_line(uint64_t *sum, std::string_view line);

// Kinds seen so far in the first two lines of a device's `tc qdisc show dev X`.
struct TcKinds {
    char kind[2][32];
    int n = 0;
    int lines = 0;
};
// Takes one line; a line that is not "qdisc <kind> ..." is skipped. Only the first
// two lines count: a root that continues on further lines (mqprio) is one kind,
// not the root plus its first child. Returns 1 once two lines were taken.
int tc_kinds_line(TcKinds *k, std::string_view line);
// "" with no kind, "a" with one, "a/b" with two; cut to fit out.
void tc_kinds_format(const TcKinds *k, char *out, size_t size);

struct TcDevQdiscs {
    uint64_t drops = 0;  // the device's root qdiscs' counts
    TcKinds kinds;
};

struct TcListing {
    std::string_view names[TC_MAX_DEVS];
    int n = 0;
    TcDevQdiscs dev[TC_MAX_DEVS];
    int cur = -1;            // watched device of the qdisc being read; -1 none
    bool in_options = false; // between its qdisc line and its statistics
    bool root = false;       // it is a root (egress, ingress or clsact): its drops count
};

// Watches names[0..n-1] (at most TC_MAX_DEVS); the names must outlive the listing.
void tc_listing_init(TcListing *ls, const char *const *names, int n);
// Takes one line of the listing, as read (no newline).
void tc_listing_line(TcListing *ls, std::string_view line);
// A whole listing, cut into lines as the live reader cuts them.
void tc_listing_text(TcListing *ls, std::string_view text);
// Watched device i's drops, and its kinds as tc_kinds_format gives them.
uint64_t tc_listing_drops(const TcListing *ls, int i);
void tc_listing_kinds(const TcListing *ls, int i, char *out, size_t size);
