// The WireGuard peers of every device, read for page 1 and the device health
// that both pages show.
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <sys/wait.h>

#include "core/kernel_file.hpp"
#include "core/run_tool.hpp"
#include "core/screen.hpp"
#include "overview/overview_model.hpp"
#include "overview/wg_dump.hpp"

// Every device's lines of one `wg show all dump`, kept whole or not at all: a
// larger dump, or a run that did not end well, leaves each device its own run.
constexpr size_t WG_ALL_DUMP_MAX = 65536;

// Reads the shared dump into buf; false when it is not to be used.
static bool all_dump(char *buf, size_t *len)
{
    const char *const argv[] = {"wg", "show", "all", "dump", nullptr};
    ToolRun run;
    if (tool_start(&run, argv) != 0) return false;
    char line[1024 + 16];  // the device and its tab, then what its own run's line would keep
    long n;
    bool fits = true;
    while (fits && (n = tool_getline(&run, line, sizeof line)) >= 0) {
        fits = *len + static_cast<size_t>(n) + 1 <= WG_ALL_DUMP_MAX;
        if (!fits) break;
        std::memcpy(buf + *len, line, static_cast<size_t>(n));
        *len += static_cast<size_t>(n);
        buf[(*len)++] = '\n';
    }
    const int status = tool_close(&run);
    return fits && !run.timed_out && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Hands each line of the shared dump to its device, as that device's own run
// would print it.
static void split_all_dump(std::string_view all)
{
    while (!all.empty()) {
        size_t nl = all.find('\n');
        std::string_view dev, rest;
        if (wg_dump_split_device(all.substr(0, nl), &dev, &rest)) {
            if (rest.size() > 1023) rest = rest.substr(0, 1023);
            for (int32_t d = 0; d < g_n_wgdevs && d < MAX_WGDEVS; d++)
                if (dev == g_wgdevs[d]) tl_add(&g_wg_dump[d].lines, rest.data(), rest.size());
        }
        if (nl == std::string_view::npos) break;
        all.remove_prefix(nl + 1);
    }
}

static void own_dump(int32_t d)
{
    ToolRun run;
    g_wg_dump[d].ran = wg_dump_start(&run, g_wgdevs[d]) == 0;
    if (!g_wg_dump[d].ran) return;
    char line[1024];
    long n;
    while ((n = tool_getline(&run, line, sizeof line)) >= 0)
        if (!tl_add(&g_wg_dump[d].lines, line, static_cast<size_t>(n))) break;
    tool_close(&run);
}

static WgHealth *wg_health_for(const char *dev)
{
    for (int32_t i = 0; i < g_n_wg_health; i++)
        if (std::strcmp(g_wg_health[i].name, dev) == 0) return &g_wg_health[i];
    if (g_n_wg_health >= MAX_WG_HEALTH) return nullptr;  // listed, but not counted
    WgHealth *h = &g_wg_health[g_n_wg_health++];
    std::snprintf(h->name, sizeof h->name, "%.15s", dev);
    return h;
}

// Peers, and peers with a fresh handshake, of one device's dump.
static void health_of(int32_t d)
{
    WgHealth *rec = wg_health_for(g_wgdevs[d]);
    if (!rec) return;
    rec->peers = rec->fresh = 0;
    char line[1024];
    size_t pos = 0;
    bool first = true;  // the device's own line
    while (tl_next(&g_wg_dump[d].lines, &pos, line, sizeof line) >= 0) {
        rstrip(line);
        WgDumpPeer p;
        if (std::exchange(first, false) || !wg_dump_parse_peer(line, &p)) continue;
        int64_t age;
        rec->peers++;
        if (wg_handshake_state(p.handshake, static_cast<int64_t>(g_last_ts), &age) == HS_FRESH) rec->fresh++;
    }
}

void wg_peers_collect()
{
    for (WgDump &w : g_wg_dump) {
        w.ran = false;
        tl_clear(&w.lines);
    }
    static char all[WG_ALL_DUMP_MAX];
    size_t len = 0;
    // One device: its own run is the one run.
    bool shared = g_n_wgdevs >= 2 && all_dump(all, &len);
    if (shared) split_all_dump(std::string_view(all, len));
    for (int32_t d = 0; d < g_n_wgdevs && d < MAX_WGDEVS; d++) {
        if (shared)
            g_wg_dump[d].ran = true;
        else
            own_dump(d);
    }
    wg_health_count();
}

void wg_health_count()
{
    for (int32_t d = 0; d < g_n_wgdevs && d < MAX_WGDEVS; d++) health_of(d);
}
