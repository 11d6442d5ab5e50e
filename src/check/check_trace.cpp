// tracefs as the burst catcher finds it: the kfree_skb trigger and room for a
// trace instance of its own. Nothing is made or set.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "burst/trace_instance.hpp"
#include "check/check_report.hpp"
#include "core/fsroot.hpp"

// The first mount place whose kfree_skb event is there, into root; false when none.
static bool find_tracefs(char *root, size_t size)
{
    for (const char *cand : TRACEFS_CANDIDATES) {
        char ev[320];
        if (fs_path(root, size, "%s", cand) != 0 || !kfree_skb_file(ev, sizeof ev, root, "trigger")) continue;
        if (::access(ev, F_OK) == 0) return true;
    }
    root[0] = '\0';
    return false;
}

void check_tracefs(Check *c)
{
    char root[256];
    if (!find_tracefs(root, sizeof root)) {
        check_line(c, CHECK_FAIL, "tracefs", "no kfree_skb event: mount -t tracefs nodev /sys/kernel/tracing (CONFIG_FTRACE)");
        check_line(c, CHECK_FAIL, "kfree_skb trigger", "no tracefs, so the burst catcher cannot record stacks");
        check_line(c, CHECK_NOTE, "trace instances", "no tracefs");
        return;
    }
    check_line(c, CHECK_OK, "tracefs", "%s", root);
    char p[400];
    kfree_skb_file(p, sizeof p, root, "trigger");
    if (::access(p, W_OK) == 0)
        check_line(c, CHECK_OK, "kfree_skb trigger", "writable");
    else
        check_line(c, CHECK_FAIL, "kfree_skb trigger", "not writable (%s): the burst catcher needs root",
                   std::strerror(errno));
    std::snprintf(p, sizeof p, "%s/%s", root, TRACE_INSTANCES);
    if (::access(p, W_OK) == 0)
        check_line(c, CHECK_OK, "trace instances", "available: captures get a trace buffer of their own");
    else
        check_line(c, CHECK_NOTE, "trace instances", "not available: captures share the main trace buffer");
}
