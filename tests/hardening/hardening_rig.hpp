// Shared by the end-to-end hostile-input, soak and burst tests: the real monitor
// on a pseudo-terminal or in a namespace, and what an operator would look at from outside.
#pragma once
#include <string>

#include "support/launch.hpp"
#include "support/netns.hpp"
#include "support/pty_session.hpp"

// Reads whatever the monitor writes for secs, so it never blocks on a full terminal.
inline void pump(PtySession &s, double secs) { s.read_until("\x01never\x01", secs); }

// Screens painted (headers written) in out from position from on.
inline size_t paints(const std::string &out, size_t from) { return occurrences(out.substr(from), "   interval="); }

// dev up in ns as 10.<net>.0.1/24 towards a peer of MTU 1280: datagrams of 1400
// bytes without DF are dropped on transmit, counted in tx_dropped with real
// kfree_skb stacks. True when the link is made.
inline bool drop_link(const NetnsGuard &ns, const std::string &dev, int net)
{
    const std::string n = std::to_string(net);
    return ns.run("sh -c 'ip link add " + dev + " type veth peer name p" + dev + " && ip link set p" + dev +
                  " mtu 1280 up && ip link set " + dev + " up && ip addr add 10." + n + ".0.1/24 dev " + dev +
                  " && ip neigh add 10." + n + ".0.2 lladdr 02:00:00:00:00:02 dev " + dev + "'") == 0;
}

// n such datagrams from ns to the link's peer.
inline void drop_datagrams(const NetnsGuard &ns, int net, int n)
{
    ns.run("python3 -c 'import socket\ns=socket.socket(2,2)\ns.setsockopt(0,10,0)\nfor i in range(" +
           std::to_string(n) + "): s.sendto(b\"x\"*1400,(\"10." + std::to_string(net) + ".0.2\",9))'");
}
