// The BIRD client's neighbour table, read for page 1's OSPF section.
#include <sys/wait.h>

#include "core/run_tool.hpp"
#include "core/settings.hpp"
#include "overview/overview_model.hpp"

// -B is the operator's own command line, so it goes through the shell as given.
// It reaches the shell as an argument and eval puts it into the command, so no
// buffer of ours cuts a long one; ToolRun still bounds every wait.
static bool shell_start(ToolRun *run, const char *script)
{
    const char *const argv[] = {"/bin/sh", "-c", script, "sh", g_birdc, nullptr};
    return tool_start(run, argv, "birdc") == 0;
}

static OspfClient client_check()
{
    ToolRun run;
    if (!shell_start(&run, "eval \"command -v $1 >/dev/null 2>&1\""))
        return run.timed_out ? OSPF_CLIENT_TIMED_OUT : OSPF_CLIENT_ABSENT;
    char line[64];
    while (tool_getline(&run, line, sizeof line) >= 0) {}
    int st = tool_close(&run);
    if (run.timed_out) return OSPF_CLIENT_TIMED_OUT;
    return st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0 ? OSPF_CLIENT_PRESENT : OSPF_CLIENT_ABSENT;
}

void ospf_collect()
{
    OspfRun &o = g_ospf_run;
    tl_clear(&o.lines);
    o.started = o.timed_out = false;
    o.client = client_check();
    if (o.client != OSPF_CLIENT_PRESENT) return;
    ToolRun run;
    o.started = shell_start(&run, "eval \"$1 show ospf neighbors 2>&1\"");
    if (o.started) {
        char line[512];
        long n;
        while ((n = tool_getline(&run, line, sizeof line)) >= 0)
            if (!tl_add(&o.lines, line, static_cast<size_t>(n))) break;
        tool_close(&run);
    }
    o.timed_out = run.timed_out;
}
