// The BIRD client's neighbour table, read for page 1's OSPF section.
#include "core/run_tool.hpp"
#include "overview/overview_model.hpp"

void ospf_collect()
{
    OspfRun &o = g_ospf_run;
    tl_clear(&o.lines);
    o.started = o.timed_out = false;
    o.client = birdc_client_check();
    if (o.client != BIRDC_PRESENT) return;
    ToolRun run;
    o.started = birdc_show_start(&run);
    if (o.started) {
        char line[512];
        long n;
        while ((n = tool_getline(&run, line, sizeof line)) >= 0)
            if (!tl_add(&o.lines, line, static_cast<size_t>(n))) break;
        tool_close(&run);
    }
    o.timed_out = run.timed_out;
}
