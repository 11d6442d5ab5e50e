#include "overview/birdc_run.hpp"

#include <sys/wait.h>

#include "core/run_tool.hpp"
#include "core/settings.hpp"

// -B is the operator's own command line, so it goes through the shell as given.
// It reaches the shell as an argument and eval puts it into the command, so no
// buffer of ours cuts a long one; ToolRun still bounds every wait.
static bool shell_start(ToolRun *run, const char *script)
{
    const char *const argv[] = {"/bin/sh", "-c", script, "sh", g_birdc, nullptr};
    return tool_start(run, argv, "birdc") == 0;
}

BirdcClient birdc_client_check()
{
    ToolRun run;
    if (!shell_start(&run, "eval \"command -v $1 >/dev/null 2>&1\""))
        return run.timed_out ? BIRDC_TIMED_OUT : BIRDC_ABSENT;
    char line[64];
    while (tool_getline(&run, line, sizeof line) >= 0) {}
    int st = tool_close(&run);
    if (run.timed_out) return BIRDC_TIMED_OUT;
    return st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0 ? BIRDC_PRESENT : BIRDC_ABSENT;
}

bool birdc_show_start(ToolRun *run) { return shell_start(run, "eval \"$1 show ospf neighbors 2>&1\""); }
