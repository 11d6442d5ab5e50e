// Named counters: per key the first, previous and current value, so a page can
// show what moved this interval (red) or since start (yellow).
#pragma once
#include <cstdint>

#include "core/strbuf.hpp"

struct Counter {
    char name[128];
    uint64_t first;
    uint64_t prev;
    uint64_t cur;
    int32_t seen;
};

extern Counter *g_ctrs;
extern int32_t g_nctrs;
extern int32_t g_ctr_cap;

// The entry of key, appended fresh when absent. Valid until the next insertion.
Counter *ctr_get(const char *key);
// Records value and appends its coloured rendering to b; returns the increase.
int64_t ctr_fmtx(StrBuf *b, const char *key, uint64_t value, int alerting);
// Records value and returns its increase per second since the previous sample.
double ctr_rate(const char *key, uint64_t value, double seconds);
// End of sample: every entry's prev becomes its cur.
void ctr_roll();

// After this many rediscoveries in a row without an interface, its counters go.
constexpr int32_t CTR_FORGET_AFTER = 3;
// Called at every rediscovery with the watched interfaces: the counters keyed
// "<name>/..." of an interface missing CTR_FORGET_AFTER times in a row are
// removed (the others keep their order and values), so names that come and go
// cannot grow the table without end. One that returns later starts afresh.
void ctr_forget_unwatched(const char (*names)[16], int32_t n);
