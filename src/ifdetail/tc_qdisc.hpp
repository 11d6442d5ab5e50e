// Parsers of the two `tc qdisc show` listings: the drop total of the statistics
// listing and the kinds of the first two queueing disciplines.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// Longest line kept from each listing; the rest of a longer line is skipped.
constexpr size_t TC_STATS_LINE_MAX = 511;  // `tc -s qdisc show dev X`
constexpr size_t TC_KINDS_LINE_MAX = 255;  // `tc qdisc show dev X`

// Adds the count after the first "dropped " of one line to *sum (saturating).
void tc_drops_line(uint64_t *sum, std::string_view line);
// Sum over every line of a whole `tc -s qdisc show` listing (parents and children).
uint64_t tc_parse_drops(std::string_view text);

// Kinds seen so far in the first two lines of a `tc qdisc show` listing.
struct TcKinds {
    char kind[2][32];
    int n = 0;
    int lines = 0;
};
// Takes one line; a line that is not "qdisc <kind> ..." is skipped. Only the first
// two lines count: a root that continues on further lines (mqprio) is one kind,
// not the root plus its first child. Returns 1 once two lines were taken and the
// rest of the listing is not needed.
int tc_kinds_line(TcKinds *k, std::string_view line);
// "" with no kind, "a" with one, "a/b" with two; cut to fit out.
void tc_kinds_format(const TcKinds *k, char *out, size_t size);
// Whole listing to text as above.
void tc_parse_kinds(std::string_view text, char *out, size_t size);
