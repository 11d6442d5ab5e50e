// Reading a copied kfree_skb trace: stacks by transmit-path function, and drop
// reasons by (reason, location function). Both take one line at a time, so
// tests and fuzzers feed them strings.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

constexpr int TXPATH_N = 14;
extern const char *const TXPATH_FRAMES[TXPATH_N + 1];

struct StackTally {
    int32_t n_stacks = 0;
    int32_t hits[TXPATH_N] = {};
};

void stack_tally_line(StackTally *t, const char *line);
// At most three picks, highest count first, ties to the earlier frame; empty
// when no frame matched. out must hold 192 bytes.
void txpath_summary(const StackTally &t, char *out, size_t size);

constexpr int REASON_SLOTS = 256;  // distinct pairs kept; later new pairs are counted as one "(other)"
constexpr int REASON_LINES = 20;

struct ReasonCount {
    char reason[40];
    char func[64];
    int64_t count;
};

struct ReasonTally {
    ReasonCount e[REASON_SLOTS];
    int32_t n = 0;
    int64_t other = 0;  // events whose pair did not fit
};

void reason_tally_line(ReasonTally *t, const char *line);
// "COUNT REASON FUNCTION" lines, most frequent first, at most 20.
void reasons_write(ReasonTally *t, FILE *out);
