#include "core/child_groups.hpp"

#include <csignal>

// sig_atomic_t slots: the handler reads each one whole, whatever the loop was doing.
static volatile sig_atomic_t g_child_pgids[MAX_CHILD_GROUPS];

bool child_group_add(pid_t pgid)
{
    for (volatile sig_atomic_t &slot : g_child_pgids)
        if (slot == 0) {
            slot = pgid;
            return true;
        }
    return false;
}

void child_group_remove(pid_t pgid)
{
    for (volatile sig_atomic_t &slot : g_child_pgids)
        if (slot == pgid) slot = 0;
}

void child_groups_kill(int sig)
{
    for (volatile sig_atomic_t &slot : g_child_pgids) {
        pid_t pgid = slot;
        if (pgid > 0) ::kill(-pgid, sig);
    }
}
