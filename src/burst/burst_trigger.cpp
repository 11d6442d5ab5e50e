// The trigger step: any rise of the watched interface's tx_dropped between two
// armed, idle samples starts a capture.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "burst/burst_state.hpp"
#include "core/kernel_file.hpp"
#include "core/settings.hpp"
#include "topology/ifaces.hpp"

uint64_t g_burst_prev = 0;
int32_t g_burst_prev_ok = 0;
bool g_burst_if_missing = false;

// Without -I the catcher watches the LAN, also after page 4 made another
// interface the LAN. A copy of our own: the menu rewrites its buffer in place,
// and a capture keeps the interface it started on. The old interface's count
// is no baseline for the new one.
static void follow_lan()
{
    static char lan[64];
    if (g_burst_if_fixed || g_burst_state != 0 || std::strncmp(g_burst_if, g_lan, sizeof lan - 1) == 0) return;
    std::snprintf(lan, sizeof lan, "%s", g_lan);
    g_burst_if = lan;
    g_burst_prev_ok = 0;
}

void burst_detect()
{
    follow_lan();
    g_burst_if_missing = !if_exists(g_burst_if);
    if (g_burst_arm != 1 || g_tracedir[0] == '\0' || g_burst_state != 0) return;
    uint64_t v = sysstat(g_burst_if, "tx_dropped");
    if (!g_burst_prev_ok) {
        g_burst_prev_ok = 1;
        g_burst_prev = v;
        return;
    }
    // Signed, so a counter that went backwards (interface re-created) only moves the baseline.
    int64_t delta = static_cast<int64_t>(v - g_burst_prev);
    g_burst_prev = v;
    if (delta > 0) {
        g_burst_startval = v;
        burst_begin(delta, std::time(nullptr));
    }
}
