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

// A hash index over the table, so a lookup costs the same with 50 keys or
// 5000: open addressing, each slot the entry's position + 1 (0 is free), at
// most half full. It is rebuilt whenever the table it was built for changed
// under it (growth, pruning, or a caller resetting g_nctrs); without memory
// for it the lookup falls back to scanning, which gives the same entry.
static int32_t *g_idx = nullptr;
static uint32_t g_idx_slots = 0;  // a power of two
static const Counter *g_idx_table = nullptr;
static int32_t g_idx_n = 0, g_idx_cap = 0;

// Over the stored (cut) form of the key, so a long key hashes like its entry.
static uint32_t key_hash(const char *key)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < sizeof(Counter::name) - 1 && key[i]; i++) h = (h ^ static_cast<unsigned char>(key[i])) * 16777619u;
    return h;
}

static void idx_put(int32_t pos)
{
    uint32_t mask = g_idx_slots - 1;
    for (uint32_t i = key_hash(g_ctrs[pos].name) & mask;; i = (i + 1) & mask)
        if (g_idx[i] == 0) {
            g_idx[i] = pos + 1;
            return;
        }
}

static bool idx_valid() { return g_idx && g_idx_table == g_ctrs && g_idx_n == g_nctrs && g_idx_cap == g_ctr_cap; }

static void idx_rebuild()
{
    uint32_t slots = 64;
    while (slots < 2u * static_cast<uint32_t>(g_ctr_cap)) slots *= 2;
    if (slots != g_idx_slots) {
        std::free(g_idx);
        g_idx = static_cast<int32_t *>(std::malloc(sizeof(int32_t) * slots));
        g_idx_slots = g_idx ? slots : 0;
    }
    g_idx_table = g_ctrs;
    g_idx_n = g_nctrs;
    g_idx_cap = g_ctr_cap;
    if (!g_idx) return;
    std::memset(g_idx, 0, sizeof(int32_t) * g_idx_slots);
    for (int32_t i = 0; i < g_nctrs; i++) idx_put(i);
}

Counter *ctr_get(const char *key)
{
    if (!idx_valid()) idx_rebuild();
    if (g_idx) {
        uint32_t mask = g_idx_slots - 1;
        for (uint32_t i = key_hash(key) & mask; g_idx[i] != 0; i = (i + 1) & mask)
            if (key_matches(g_ctrs[g_idx[i] - 1].name, key)) return &g_ctrs[g_idx[i] - 1];
    } else {
        for (int32_t i = 0; i < g_nctrs; i++)
            if (key_matches(g_ctrs[i].name, key)) return &g_ctrs[i];
    }
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
    if (g_idx_n == g_nctrs - 1 && g_idx_table == g_ctrs && g_idx_cap == g_ctr_cap) {
        if (g_idx) idx_put(g_nctrs - 1);
        g_idx_n = g_nctrs;
    }  // else (the table moved or grew) the next lookup rebuilds
    return c;
}

// Interfaces the counters have keys for ("<name>/..."), with how many
// rediscoveries in a row each has been missing from the watched list.
struct WatchedName {
    char name[16];
    int32_t missed;
};
constexpr int MAX_WATCHED_NAMES = 128;
static WatchedName g_watched[MAX_WATCHED_NAMES];
static int32_t g_n_watched = 0;

// Removes every entry whose key is "<name>/...", keeping the others in order.
static void drop_keys_of(const char *name)
{
    size_t n = std::strlen(name);
    int32_t kept = 0;
    for (int32_t i = 0; i < g_nctrs; i++) {
        const char *k = g_ctrs[i].name;
        if (std::strncmp(k, name, n) == 0 && k[n] == '/') continue;
        if (kept != i) g_ctrs[kept] = g_ctrs[i];
        kept++;
    }
    g_nctrs = kept;  // the index sees the change and is rebuilt at the next lookup
}

static void forget_watched(int32_t i)
{
    drop_keys_of(g_watched[i].name);
    g_watched[i] = g_watched[--g_n_watched];
}

void ctr_forget_unwatched(const char (*names)[16], int32_t n)
{
    for (int32_t i = 0; i < g_n_watched; i++) g_watched[i].missed++;
    for (int32_t j = 0; j < n; j++) {
        int32_t i = 0;
        while (i < g_n_watched && std::strncmp(g_watched[i].name, names[j], 16) != 0) i++;
        if (i == g_n_watched) {
            if (g_n_watched == MAX_WATCHED_NAMES) {  // full of gone names: the longest gone goes first
                int32_t oldest = 0;
                for (int32_t k = 1; k < g_n_watched; k++)
                    if (g_watched[k].missed > g_watched[oldest].missed) oldest = k;
                forget_watched(oldest);
                i = g_n_watched;
            }
            std::snprintf(g_watched[i].name, sizeof g_watched[i].name, "%.15s", names[j]);
            g_n_watched++;
        }
        g_watched[i].missed = 0;
    }
    for (int32_t i = g_n_watched - 1; i >= 0; i--)
        if (g_watched[i].missed >= CTR_FORGET_AFTER) forget_watched(i);
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
