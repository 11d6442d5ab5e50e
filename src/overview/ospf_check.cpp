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
#include "core/textfile_export.hpp"
#include "core/vis_text.hpp"
#include "overview/birdc_neighbors.hpp"
#include "topology/ospf_expected.hpp"

// -B is the operator's own command line, so it goes through the shell as given.
// It reaches the shell as an argument and eval puts it into the command, so no
// buffer of ours cuts a long one; ToolRun still bounds every wait.
static bool shell_start(ToolRun *run, const char *script)
{
    const char *const argv[] = {"/bin/sh", "-c", script, "sh", g_birdc, nullptr};
    return tool_start(run, argv, "birdc") == 0;
}

enum ClientCheck { CLIENT_ABSENT, CLIENT_PRESENT, CLIENT_TIMED_OUT };

static ClientCheck client_check()
{
    ToolRun run;
    if (!shell_start(&run, "eval \"command -v $1 >/dev/null 2>&1\""))
        return run.timed_out ? CLIENT_TIMED_OUT : CLIENT_ABSENT;
    char line[64];
    while (tool_getline(&run, line, sizeof line) >= 0) {}
    int st = tool_close(&run);
    if (run.timed_out) return CLIENT_TIMED_OUT;
    return st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0 ? CLIENT_PRESENT : CLIENT_ABSENT;
}

// A client cut off by time gave part of its table at most: a MISSING check on
// it would report neighbours that are there. The alert naming the client comes
// with the sample's other time-outs.
static void timed_out_notice(StrBuf *pg, const BirdcScan *scan)
{
    sb_addf(pg, "  %sbirdc timed out -- skipping MISSING check%s\n", YEL, RST);
    if (scan && !scan->table_seen && scan->first_line[0] != '\0')
        sb_addf(pg, "  %sbirdc said: %s%s\n", DIM, scan->first_line, RST);
}

void ospf_check()
{
    ClientCheck client = client_check();
    if (client == CLIENT_ABSENT) return;
    StrBuf *pg = &PAGES[0];
    sb_addf(pg, "\n%s=== OSPF neighbors (bird) ===%s\n", BOLD, RST);
    tf_note_ospf_table(false, nullptr);  // until a table is read
    if (client == CLIENT_TIMED_OUT) {
        timed_out_notice(pg, nullptr);
        return;
    }
    ToolRun run;
    if (!shell_start(&run, "eval \"$1 show ospf neighbors 2>&1\"")) {
        if (run.timed_out) timed_out_notice(pg, nullptr);
        return;
    }

    static BirdcScan scan;
    birdc_scan_init(&scan);
    int shown = 0, hidden = 0, hidden_down = 0;
    char line[512];
    while (tool_getline(&run, line, sizeof line) >= 0) {
        rstrip(line);
        vis_inplace(line);  // shown and alerted as the client printed it, minus control bytes
        const char *entry = nullptr;
        bool full = false;
        if (birdc_scan_line(&scan, line, &entry, &full) == BIRDC_NEIGHBOR) {
            tf_note_ospf_neighbor(entry, full);
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
    if (hidden_down > 0) alert("OSPF: %d more neighbors not Full", hidden_down);
    tf_note_ospf_table(!run.timed_out && scan.table_seen, &scan);
    if (run.timed_out) {
        timed_out_notice(pg, &scan);
        return;
    }
    if (!scan.table_seen) {
        sb_addf(pg, "  %sbirdc returned no neighbor table -- skipping MISSING check%s\n", YEL, RST);
        sb_addf(pg, "  %sbirdc said: %s%s\n", DIM, scan.first_line, RST);
        alert("birdc unreadable");
        return;
    }
    for (int32_t i = 0; i < g_n_ospf_exp && i < MAX_OSPF_EXP; i++) {
        const OspfExpected &e = g_ospf_exp[i];
        if (scan.expected_seen[i]) continue;
        sb_addf(pg, "  %s%s (%s) MISSING - configured in bird.conf, no adjacency%s\n", RED, e.address, e.label, RST);
        alert("OSPF: %s MISSING", e.label);
    }
}
