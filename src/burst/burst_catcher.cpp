// The catcher stays disabled until captures are built: the probe records the
// reason the page shows, and detection never starts a capture.
#include "burst/burst_state.hpp"

#include <cstdio>

#include "core/colors.hpp"
#include "core/screen.hpp"

char g_tracedir[64] = "";
char g_burst_why[128] = "";
int32_t g_burst_state = 0;
double g_burst_t0 = 0;
int32_t g_tcpdump_pid = -1;

void burst_probe()
{
    g_tracedir[0] = '\0';
    std::snprintf(g_burst_why, sizeof g_burst_why, "%s", "burst capture not built into this version");
}

void burst_detect() {}

void burst_finish() { g_burst_state = 0; }

void render_burst_page()
{
    sb_addf(&PAGES[2], "%s=== Burst catcher ===%s\n", BOLD, RST);
    if (g_tracedir[0] == '\0')
        sb_addf(&PAGES[2], "  %sDISABLED: %s%s\n", YEL,
                g_burst_why[0] ? g_burst_why : "ftrace kfree_skb trigger not writable (need root / tracefs)", RST);
}
