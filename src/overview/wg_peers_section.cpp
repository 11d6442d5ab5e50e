#include <cstring>
#include <string_view>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/kernel_file.hpp"
#include "core/run_tool.hpp"
#include "core/screen.hpp"
#include "core/strbuf.hpp"
#include "core/vis_text.hpp"
#include "counters/fmt_iec.hpp"
#include "overview/page_overview.hpp"
#include "overview/wg_dump.hpp"
#include "topology/wg_discover.hpp"

PeerEndpoint g_peer_eps[MAX_PEER_EPS];
int32_t g_n_peer_eps = 0;

// A handshake older than this many seconds means the tunnel is not working.
constexpr int64_t WG_FRESH_SECS = 150;

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

static void display_name(std::string_view key, char out[64])
{
    for (int32_t i = 0; i < g_n_peer_names; i++) {
        if (key == g_peer_names[i].key) {
            copy_cut(out, 64, g_peer_names[i].name);
            return;
        }
    }
    copy_cut(out, 64, key.substr(0, 12));
}

static void render_peer(const WgDumpPeer &p, WgHealth *rec)
{
    StrBuf *pg = &PAGES[0];
    char name[64];
    display_name(p.key, name);
    sb_addf(pg, "  %-12s hs:", name);
    if (rec) rec->peers++;
    if (p.handshake == 0) {
        sb_addf(pg, "%sNEVER%s", RED, RST);
        alert("peer:%s no handshake ever", name);
    } else {
        int64_t age;
        // A garbled handshake far in the past must not overflow; it is just stale.
        if (__builtin_sub_overflow(static_cast<int64_t>(g_last_ts), p.handshake, &age)) age = INT64_MAX;
        if (age > WG_FRESH_SECS) {
            sb_addf(pg, "%s%llds STALE%s", RED, static_cast<long long>(age), RST);
            alert("peer:%s handshake %llds", name, static_cast<long long>(age));
        } else {
            // A negative age (clock skew) still counts as fresh.
            sb_addf(pg, "%s%llds%s", GRN, static_cast<long long>(age), RST);
            if (rec) rec->fresh++;
        }
    }
    PeerEndpoint *ep = peer_ep_find(p.key);
    if (ep && !field_eq(ep->endpoint, sizeof ep->endpoint, p.endpoint)) {
        sb_addf(pg, "  ep:%s%.*s (ROAMED from %s)%s", YEL, static_cast<int>(p.endpoint.size()), p.endpoint.data(),
                ep->endpoint, RST);
        alert("peer:%s endpoint roamed", name);
    } else {
        sb_addf(pg, "  ep:%.*s", static_cast<int>(p.endpoint.size()), p.endpoint.data());
    }
    if (ep) {
        copy_cut(ep->endpoint, sizeof ep->endpoint, p.endpoint);
    } else if (g_n_peer_eps < MAX_PEER_EPS) {
        PeerEndpoint *e = &g_peer_eps[g_n_peer_eps++];
        copy_cut(e->key, sizeof e->key, p.key);
        copy_cut(e->endpoint, sizeof e->endpoint, p.endpoint);
    }
    char rx[32], tx[32];
    fmt_iec(p.rx, rx);
    fmt_iec(p.tx, tx);
    sb_addf(pg, "  rx:%s tx:%s\n", rx, tx);
}

void wg_peers_section(const char *dev, WgHealth *rec)
{
    // No shell: a device name is passed to wg as one argument, whatever it holds.
    const char *const argv[] = {"wg", "show", dev, "dump", nullptr};
    ToolRun run;
    if (tool_start(&run, argv) != 0) {
        sb_addf(&PAGES[0], "  %s(wg unavailable)%s\n", YEL, RST);
        return;
    }
    char line[1024];
    bool first = true;
    while (tool_getline(&run, line, sizeof line) >= 0) {
        rstrip(line);
        if (first) {  // the device's own line
            first = false;
            continue;
        }
        WgDumpPeer p;
        if (!wg_dump_parse_peer(line, &p)) continue;
        vis_inplace(line);  // the fields point into line; tabs are no longer needed
        render_peer(p, rec);
    }
    tool_close(&run);
}
