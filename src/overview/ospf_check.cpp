#include "overview/ospf_check.hpp"

#include <cstdio>
#include <cstring>
#include <sys/wait.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/kernel_file.hpp"
#include "core/run_tool.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/vis_text.hpp"
#include "overview/birdc_neighbors.hpp"
#include "topology/ospf_expected.hpp"

// -B is the operator's own command line, so it goes through the shell as given;
// ToolRun still bounds every wait, so a hung client cannot stall the monitor.
static bool shell_start(ToolRun *run, const char *cmd)
{
    const char *const argv[] = {"/bin/sh", "-c", cmd, nullptr};
    return tool_start(run, argv) == 0;
}

static bool client_exists()
{
    char cmd[256];
    int n = std::snprintf(cmd, sizeof cmd, "command -v %s >/dev/null 2>&1", g_birdc);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) return false;  // a cut command line is never run
    ToolRun run;
    if (!shell_start(&run, cmd)) return false;
    char line[64];
    while (tool_getline(&run, line, sizeof line) >= 0) {}
    int st = tool_close(&run);
    return st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

static bool seen_addr(const BirdcScan &s, const char *addr)
{
    for (int32_t i = 0; i < s.n_addrs; i++)
        if (std::strcmp(s.addrs[i], addr) == 0) return true;
    return false;
}

void ospf_check()
{
    if (!client_exists()) return;
    StrBuf *pg = &PAGES[0];
    sb_addf(pg, "\n%s=== OSPF neighbors (bird) ===%s\n", BOLD, RST);

    char cmd[256];
    int n = std::snprintf(cmd, sizeof cmd, "%s show ospf neighbors 2>&1", g_birdc);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) return;
    ToolRun run;
    if (!shell_start(&run, cmd)) return;

    static BirdcScan scan;  // 1.5 KiB of addresses; kept off the stack
    birdc_scan_init(&scan);
    int shown = 0, hidden = 0, hidden_down = 0;
    char line[512];
    while (tool_getline(&run, line, sizeof line) >= 0) {
        rstrip(line);
        vis_inplace(line);  // shown and alerted as the client printed it, minus control bytes
        const char *entry = nullptr;
        bool full = false;
        if (birdc_scan_line(&scan, line, &entry, &full) == BIRDC_NEIGHBOR) {
            if (shown < OSPF_MAX_SHOWN) {
                shown++;
                if (full) {
                    sb_addf(pg, "  %s%s%s\n", GRN, entry, RST);
                } else {
                    sb_addf(pg, "  %s%s%s\n", RED, entry, RST);
                    alert("OSPF: %s", entry);
                }
            } else {
                hidden++;
                if (!full) hidden_down++;
            }
        }
    }
    tool_close(&run);

    if (hidden > 0)
        sb_addf(pg, "  %s(%d more neighbor lines not shown, %d of them not Full)%s\n", DIM, hidden, hidden_down, RST);
    if (!scan.table_seen) {
        sb_addf(pg, "  %sbirdc returned no neighbor table -- skipping MISSING check%s\n", YEL, RST);
        sb_addf(pg, "  %sbirdc said: %.120s%s\n", DIM, scan.first_line, RST);
        alert("birdc unreadable");
        return;
    }
    for (int32_t i = 0; i < g_n_ospf_exp; i++) {
        const OspfExpected &e = g_ospf_exp[i];
        if (seen_addr(scan, e.address)) continue;
        sb_addf(pg, "  %s%s (%s) MISSING - configured in bird.conf, no adjacency%s\n", RED, e.address, e.label, RST);
        alert("OSPF: %s MISSING", e.label);
    }
}
