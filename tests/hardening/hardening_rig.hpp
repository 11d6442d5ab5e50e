// Shared by the end-to-end hostile-input and soak tests: the real monitor on a
// pseudo-terminal, and what an operator would look at from outside.
#pragma once
#include <chrono>
#include <string>
#include <sys/types.h>

#include "support/netns.hpp"
#include "support/pty_session.hpp"

// Quiet discovery: nothing configured, no bird, no burst catcher.
constexpr const char *HARD_QUIET = " -M -W /nonexistent -b /nonexistent -B /bin/false -D";

// Reads whatever the monitor writes for secs, so it never blocks on a full terminal.
inline void pump(PtySession &s, double secs) { s.read_until("\x01never\x01", secs); }

// Waits up to secs for pid to end; its exit status, or -1 when it is still running.
int wait_exit(pid_t pid, double secs);
// Screens painted (headers written) in out from position from on.
size_t paints(const std::string &out, size_t from);
// Descriptors, children (zombies apart) and zombie children of pid; RSS in KiB.
struct ProcView {
    int fds = -1, children = 0, zombies = 0;
    int sysfs_fds = 0;  // kept open per watched interface, so they follow the interfaces, not fds
    long rss_kib = -1;
};
ProcView proc_view(pid_t pid);

// dev up in ns as 10.<net>.0.1/24 towards a peer of MTU 1280: datagrams of 1400
// bytes without DF are dropped on transmit, counted in tx_dropped with real
// kfree_skb stacks. True when the link is made.
bool drop_link(const NetnsGuard &ns, const std::string &dev, int net);
// n such datagrams from ns to the link's peer.
void drop_datagrams(const NetnsGuard &ns, int net, int n);
// Whether the shell condition held within secs.
bool wait_for(const std::string &cond, double secs);
