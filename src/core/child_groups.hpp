// The process groups of the children running right now (tool runs, captures),
// kept where a signal handler can reach them: a monitor that is ended by a
// signal takes its children with it instead of leaving them to init.
#pragma once
#include <sys/types.h>

constexpr int MAX_CHILD_GROUPS = 8;

// Records a running child's group; false when the table is full (the child
// then still runs, it is only not ended by a signal).
bool child_group_add(pid_t pgid);
void child_group_remove(pid_t pgid);
// Moves a fresh descriptor above 0-2 (closing the original), so the child's
// dup2 onto 0, 1 and 2 can never overwrite one of the others. -1 stays -1.
int fd_above_stdio(int fd);
// /dev/null open for reading and writing, above 0-2 and close-on-exec, kept
// for the process (never close it); -1 when it cannot be opened.
int dev_null_fd();
// Starts argv[0] (PATH search) in a group of its own, recorded here before any
// ending signal can run: standard input and error on null, output on out (both
// above 2), every other descriptor closed, default signal handling and an empty
// mask. The monitor's memory is not copied (vfork); a tool that cannot be
// exec'd is a child exiting 127. Returns the child's pid, or -1 when no child
// could be made. With pdeathsig the child gets that signal when the monitor
// dies, however it dies (SIGKILL included).
pid_t child_spawn(const char *const argv[], int out, int null, int pdeathsig = 0);
// Sends sig to every recorded group. Async-signal-safe.
void child_groups_kill(int sig);
