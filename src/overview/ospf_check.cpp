#include "overview/ospf_check.hpp"

#include <cstdio>
#include <cstring>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/kernel_file.hpp"
#include "core/screen.hpp"
#include "core/vis_text.hpp"
#include "export/tf_notes.hpp"
#include "overview/birdc_neighbors.hpp"
#include "overview/overview_model.hpp"
#include "topology/ospf_expected.hpp"

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
    const OspfRun &o = g_ospf_run;
    if (o.client == BIRDC_ABSENT) return;
    StrBuf *pg = &PAGES[0];
    sb_addf(pg, "\n%s=== OSPF neighbors (bird) ===%s\n", BOLD, RST);
    tf_note_ospf_table(false, nullptr);  // until a table is read
    if (o.client == BIRDC_TIMED_OUT || !o.started) {
        if (o.timed_out || o.client == BIRDC_TIMED_OUT) timed_out_notice(pg, nullptr);
        return;
    }

    static BirdcScan scan;
    birdc_scan_init(&scan);
    int shown = 0, hidden = 0, hidden_down = 0;
    char line[512];
    size_t pos = 0;
    while (tl_next(&o.lines, &pos, line, sizeof line) >= 0) {
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

    if (hidden > 0)
        sb_addf(pg, "  %s(%d more neighbor lines not shown, %d of them not Full)%s\n", DIM, hidden, hidden_down, RST);
    if (hidden_down > 0) alert("OSPF: %d more neighbors not Full", hidden_down);
    tf_note_ospf_table(!o.timed_out && scan.table_seen, &scan);
    if (o.timed_out) {
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
