#include "counters/counters.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/settings.hpp"

Counter *g_ctrs = nullptr;
int32_t g_nctrs = 0;
int32_t g_ctr_cap = 0;

// Keys are stored cut to 127 characters; a longer key matches its cut form, so
// it still has exactly one entry.
static bool key_matches(const char *name, const char *key)
{
    for (size_t i = 0; i < sizeof(Counter::name) - 1; i++) {
        if (name[i] != key[i]) return false;
        if (name[i] == '\0') return true;
    }
    return true;
}

Counter *ctr_get(const char *key)
{
    for (int32_t i = 0; i < g_nctrs; i++)
        if (key_matches(g_ctrs[i].name, key)) return &g_ctrs[i];
    if (g_nctrs == g_ctr_cap) {
        int32_t cap = g_ctr_cap ? g_ctr_cap * 2 : 256;
        auto *grown = static_cast<Counter *>(std::realloc(g_ctrs, sizeof(Counter) * static_cast<size_t>(cap)));
        if (!grown) std::abort();  // no error result: a lost counter would misreport every delta
        g_ctrs = grown;
        g_ctr_cap = cap;
    }
    Counter *c = &g_ctrs[g_nctrs++];
    std::memset(c, 0, sizeof *c);
    std::snprintf(c->name, sizeof c->name, "%s", key);
    return c;
}

int64_t ctr_fmtx(StrBuf *b, const char *key, uint64_t value, int alerting)
{
    Counter *c = ctr_get(key);
    if (!c->seen) {
        c->first = c->prev = c->cur = value;
        c->seen = 1;
        sb_addf(b, "%s%llu%s", DIM, static_cast<unsigned long long>(value), RST);
        return 0;
    }
    int64_t inc = static_cast<int64_t>(value - c->prev);
    int64_t total = static_cast<int64_t>(value - c->first);
    c->cur = value;
    if (inc > 0) {
        sb_addf(b, "%s%llu (+%lld/%ds, +%lld total)%s", RED, static_cast<unsigned long long>(value),
                static_cast<long long>(inc), g_interval, static_cast<long long>(total), RST);
        if (alerting) alert("%s +%lld", key, static_cast<long long>(inc));
    } else if (total > 0) {
        sb_addf(b, "%llu %s(+%lld since start)%s", static_cast<unsigned long long>(value), YEL,
                static_cast<long long>(total), RST);
    } else {
        sb_addf(b, "%s%llu%s", DIM, static_cast<unsigned long long>(value), RST);
    }
    return inc;
}

double ctr_rate(const char *key, uint64_t value, double seconds)
{
    Counter *c = ctr_get(key);
    if (!c->seen) {
        c->prev = c->first = value;
        c->seen = 1;
    }
    c->cur = value;
    if (seconds > 0.05) {
        double rate = (static_cast<double>(value) - static_cast<double>(c->prev)) / seconds;
        return rate >= 0 ? rate : 0;
    }
    return 0;
}

void ctr_roll()
{
    for (int32_t i = 0; i < g_nctrs; i++) g_ctrs[i].prev = g_ctrs[i].cur;
}
