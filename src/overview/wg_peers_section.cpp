#include <cstring>
#include <sys/wait.h>
#include <string_view>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/kernel_file.hpp"
#include "core/run_tool.hpp"
#include "core/screen.hpp"
#include "core/strbuf.hpp"
#include "export/tf_notes.hpp"
#include "core/vis_text.hpp"
#include "counters/fmt_iec.hpp"
#include "overview/page_overview.hpp"
#include "overview/wg_dump.hpp"
#include "topology/wg_discover.hpp"

PeerEndpoint g_peer_eps[MAX_PEER_EPS];
int32_t g_n_peer_eps = 0;

// A handshake older than this many seconds means the tunnel is not working.
constexpr int64_t WG_FRESH_SECS = 150;
// Clocks of router and peer drift a little; a handshake further ahead of the
// sample time than this is a wrong clock or a garbled field, not a fresh tunnel.
constexpr int64_t WG_CLOCK_SKEW_SECS = 60;

enum HsState { HS_NEVER, HS_STALE, HS_AHEAD, HS_FRESH };

// Compares against what a field of size n can hold, so that an over-long key or
// endpoint, stored cut, still matches itself the next sample instead of looking
// like a new peer or a roam every time.
static bool field_eq(const char *stored, size_t n, std::string_view v)
{
    if (v.size() > n - 1) v = v.substr(0, n - 1);
    return std::strlen(stored) == v.size() && std::memcmp(stored, v.data(), v.size()) == 0;
}

static PeerEndpoint *peer_ep_find(std::string_view key)
{
    for (int32_t i = 0; i < g_n_peer_eps; i++)
        if (field_eq(g_peer_eps[i].key, sizeof g_peer_eps[i].key, key)) return &g_peer_eps[i];
    return nullptr;
}

static void copy_cut(char *dst, size_t n, std::string_view v)
{
    size_t k = v.size() < n - 1 ? v.size() : n - 1;
    std::memcpy(dst, v.data(), k);
    dst[k] = '\0';
}

static HsState handshake_state(int64_t handshake, int64_t *age)
{
    *age = 0;
    if (handshake == 0) return HS_NEVER;
    // A garbled handshake far in the past must not overflow; it is just stale.
    if (__builtin_sub_overflow(static_cast<int64_t>(g_last_ts), handshake, age)) *age = INT64_MAX;
    if (*age > WG_FRESH_SECS) return HS_STALE;
    return *age < -WG_CLOCK_SKEW_SECS ? HS_AHEAD : HS_FRESH;
}

// Compares the endpoint with the one remembered for the key and remembers the new
// one. Returns whether it roamed; old then holds the previous one, displayable.
static bool endpoint_roamed(const WgDumpPeer &p, char old[80])
{
    PeerEndpoint *ep = peer_ep_find(p.key);
    bool roamed = ep && !field_eq(ep->endpoint, sizeof ep->endpoint, p.endpoint);
    if (roamed) {
        copy_cut(old, 80, ep->endpoint);
        vis_inplace(old);  // stored cut, maybe through a sequence
    }
    if (ep) {
        copy_cut(ep->endpoint, sizeof ep->endpoint, p.endpoint);
    } else if (g_n_peer_eps < MAX_PEER_EPS) {
        PeerEndpoint *e = &g_peer_eps[g_n_peer_eps++];
        copy_cut(e->key, sizeof e->key, p.key);
        copy_cut(e->endpoint, sizeof e->endpoint, p.endpoint);
    }
    return roamed;
}

static void render_peer(const WgDumpPeer &p, HsState st, int64_t age, bool roamed, const char *old)
{
    StrBuf *pg = &PAGES[0];
    char name[64];
    wg_peer_display_name(p.key, name);
    sb_addf(pg, "  %-12s hs:", name);
    const long long a = static_cast<long long>(age);
    switch (st) {
    case HS_NEVER:
        sb_addf(pg, "%sNEVER%s", RED, RST);
        alert("peer:%s no handshake ever", name);
        break;
    case HS_STALE:
        sb_addf(pg, "%s%llds STALE%s", RED, a, RST);
        alert("peer:%s handshake %llds", name, a);
        break;
    case HS_AHEAD:
        sb_addf(pg, "%s%llds AHEAD (clock?)%s", YEL, -a, RST);
        alert("peer:%s handshake %llds ahead", name, -a);
        break;
    case HS_FRESH:  // a small negative age is clock skew and still fresh
        sb_addf(pg, "%s%llds%s", GRN, a, RST);
        break;
    }
    const int en = static_cast<int>(p.endpoint.size());
    if (roamed) {
        sb_addf(pg, "  ep:%s%.*s (ROAMED from %s)%s", YEL, en, p.endpoint.data(), old, RST);
        alert("peer:%s endpoint roamed", name);
    } else {
        sb_addf(pg, "  ep:%.*s", en, p.endpoint.data());
    }
    char rx[32], tx[32];
    fmt_iec(p.rx, rx);
    fmt_iec(p.tx, tx);
    sb_addf(pg, "  rx:%s tx:%s\n", rx, tx);
}

// Every device's lines of one `wg show all dump`, kept whole or not at all: a
// larger dump, or a run that did not end well, leaves each device its own run.
// Each device's section reads it once, within the render after the collection.
constexpr size_t WG_ALL_DUMP_MAX = 65536;
static char g_all_dump[WG_ALL_DUMP_MAX];
static size_t g_all_len = 0;
static int32_t g_all_unread = 0;  // sections still to read it; 0: not there

void wg_peers_collect()
{
    g_all_len = 0;
    g_all_unread = 0;
    if (g_n_wgdevs < 2) return;  // one device: its own run is the one run
    const char *const argv[] = {"wg", "show", "all", "dump", nullptr};
    ToolRun run;
    if (tool_start(&run, argv) != 0) return;
    char line[1024 + 16];  // the device and its tab, then what its own run's line would keep
    long n;
    bool fits = true;
    while (fits && (n = tool_getline(&run, line, sizeof line)) >= 0) {
        fits = g_all_len + static_cast<size_t>(n) + 1 <= WG_ALL_DUMP_MAX;
        if (!fits) break;
        std::memcpy(g_all_dump + g_all_len, line, static_cast<size_t>(n));
        g_all_len += static_cast<size_t>(n);
        g_all_dump[g_all_len++] = '\n';
    }
    const int status = tool_close(&run);
    if (fits && !run.timed_out && WIFEXITED(status) && WEXITSTATUS(status) == 0) g_all_unread = g_n_wgdevs;
}

// What one section has seen so far.
struct PeerTally {
    bool first = true;
    int shown = 0, hidden = 0, hidden_problems = 0;
};

static void peer_line(const char *dev, WgHealth *rec, char *line, PeerTally *t)
{
    rstrip(line);
    if (t->first) {  // the device's own line
        t->first = false;
        return;
    }
    WgDumpPeer p;
    if (!wg_dump_parse_peer(line, &p)) return;
    vis_inplace(line);  // after the split at tabs; keeps the length, so the fields stay in place
    int64_t age;
    HsState st = handshake_state(p.handshake, &age);
    if (rec) {
        rec->peers++;
        if (st == HS_FRESH) rec->fresh++;
    }
    char old[80] = "";
    bool roamed = endpoint_roamed(p, old);
    tf_note_wg_peer(dev, p.key, p.handshake, p.rx, p.tx);
    // A hub with thousands of peers must not grow the page without end; the
    // rest are still judged, and their problems counted in one alert.
    if (t->shown < WG_MAX_SHOWN) {
        t->shown++;
        render_peer(p, st, age, roamed, old);
    } else {
        t->hidden++;
        if (st != HS_FRESH || roamed) t->hidden_problems++;
    }
}

// The device's lines of the collected dump, each as its own run would print it.
static void peers_from_all_dump(const char *dev, WgHealth *rec, PeerTally *t)
{
    g_all_unread--;
    std::string_view all(g_all_dump, g_all_len);
    while (!all.empty()) {
        size_t nl = all.find('\n');
        std::string_view d, rest;
        if (wg_dump_split_device(all.substr(0, nl), &d, &rest) && d == dev) {
            char line[1024];
            copy_cut(line, sizeof line, rest);
            peer_line(dev, rec, line, t);
        }
        if (nl == std::string_view::npos) break;
        all.remove_prefix(nl + 1);
    }
}

void wg_peers_section(const char *dev, WgHealth *rec)
{
    PeerTally t;
    if (g_all_unread > 0) {
        peers_from_all_dump(dev, rec, &t);
    } else {
        ToolRun run;
        if (wg_dump_start(&run, dev) != 0) {
            sb_addf(&PAGES[0], "  %s(wg unavailable)%s\n", YEL, RST);
            return;
        }
        char line[1024];
        while (tool_getline(&run, line, sizeof line) >= 0) peer_line(dev, rec, line, &t);
        tool_close(&run);
    }
    if (t.hidden > 0)
        sb_addf(&PAGES[0], "  %s(%d more peers not shown, %d of them with problems)%s\n", DIM, t.hidden,
                t.hidden_problems, RST);
    if (t.hidden_problems > 0) alert("%s: %d more peers with problems", vis_ifname(dev).s, t.hidden_problems);
}
