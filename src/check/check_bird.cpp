// BIRD: its configuration's expected neighbours, the client as page 1 runs it
// (-B), and its control socket.
#include <sys/stat.h>
#include <unistd.h>

#include "check/check_report.hpp"
#include "core/kernel_file.hpp"
#include "core/run_tool.hpp"
#include "core/settings.hpp"
#include "core/vis_text.hpp"
#include "overview/birdc_neighbors.hpp"
#include "overview/birdc_run.hpp"
#include "topology/ospf_expected.hpp"

namespace {

constexpr const char *BIRD_CTL = "/run/bird/bird.ctl";

struct Table {
    BirdcScan scan;
    int neighbours = 0, full = 0, missing = 0;
    bool timed_out = false;
};

// The neighbour listing, folded as page 1 folds it.
void read_table(Table *t)
{
    birdc_scan_init(&t->scan);
    ToolRun run;
    if (!birdc_show_start(&run)) {
        t->timed_out = true;
        return;
    }
    char line[512];
    while (tool_getline(&run, line, sizeof line) >= 0) {
        rstrip(line);
        vis_inplace(line);
        const char *entry = nullptr;
        bool f = false;
        if (birdc_scan_line(&t->scan, line, &entry, &f) == BIRDC_NEIGHBOR) {
            t->neighbours++;
            if (f) t->full++;
        }
    }
    tool_close(&run);
    t->timed_out = run.timed_out;
    for (int32_t i = 0; i < g_n_ospf_exp && i < MAX_OSPF_EXP; i++)
        if (!t->scan.expected_seen[i]) t->missing++;
}

void client_absent(Check *c, BirdcClient cl)
{
    if (cl == BIRDC_TIMED_OUT)
        check_line(c, CHECK_FAIL, "birdc", "%s gave no answer in time", vis(g_birdc).s);
    else if (g_n_ospf_exp > 0)
        check_line(c, CHECK_FAIL, "birdc", "%s not found, but %d neighbours are expected: install bird2 or name it with -B CMD",
                   vis(g_birdc).s, g_n_ospf_exp);
    else
        check_line(c, CHECK_NOTE, "birdc", "%s not found: page 1 has no OSPF section", vis(g_birdc).s);
}

void client(Check *c)
{
    check_runs_begin(*c);
    BirdcClient cl = birdc_client_check();
    check_runs_end();
    if (cl != BIRDC_PRESENT) return client_absent(c, cl);
    Table t;
    check_runs_begin(*c);
    read_table(&t);
    check_runs_end();
    if (t.timed_out)
        check_line(c, CHECK_FAIL, "birdc", "%s gave no answer in time", vis(g_birdc).s);
    else if (!t.scan.table_seen)
        check_line(c, CHECK_FAIL, "birdc", "no neighbour table (is bird running?); it said: %.100s",
                   vis(t.scan.first_line).s);
    else
        check_line(c, CHECK_OK, "birdc", "answers: %d neighbours, %d Full, %d of %d expected missing", t.neighbours,
                   t.full, t.missing, g_n_ospf_exp);
}

}  // namespace

void check_bird(Check *c)
{
    load_ospf_expected(g_birdconf);
    if (::access(g_birdconf, R_OK) == 0)
        check_line(c, CHECK_OK, "bird config", "%s: %d expected neighbours", vis(g_birdconf).s, g_n_ospf_exp);
    else
        check_line(c, CHECK_NOTE, "bird config", "%s not readable: no MISSING check; -b FILE names it",
                   vis(g_birdconf).s);
    client(c);
    struct stat sb;
    if (::stat(BIRD_CTL, &sb) == 0 && S_ISSOCK(sb.st_mode))
        check_line(c, CHECK_OK, "bird control socket", "%s present", BIRD_CTL);
    else
        check_line(c, CHECK_NOTE, "bird control socket",
                   "no %s (bird not running, or -B names a client with another socket)", BIRD_CTL);
}
