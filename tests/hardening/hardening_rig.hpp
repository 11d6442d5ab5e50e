// Shared by the end-to-end hostile-input, soak and burst tests: the real monitor
// on a pseudo-terminal or in a namespace, and what an operator would look at from outside.
#pragma once
#include <string>

#include "support/netns.hpp"
#include "support/pty_session.hpp"

// Reads whatever the monitor writes for secs, so it never blocks on a full terminal.
inline void pump(PtySession &s, double secs) { s.read_until("\x01never\x01", secs); }
// Screens painted (headers written) in out from position from on.
size_t paints(const std::string &out, size_t from);
// dev up in ns as 10.<net>.0.1/24 towards a peer of MTU 1280: datagrams of 1400
// bytes without DF are dropped on transmit, counted in tx_dropped with real
// kfree_skb stacks. True when the link is made.
bool drop_link(const NetnsGuard &ns, const std::string &dev, int net);
// n such datagrams from ns to the link's peer.
void drop_datagrams(const NetnsGuard &ns, int net, int n);
// Whether the shell condition held within secs.
bool wait_for(const std::string &cond, double secs);
