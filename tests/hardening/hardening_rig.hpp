// Shared by the burst and soak tests: the real monitor in a namespace, on a
// link that drops on transmit, and what an operator would look at from outside.
#pragma once
#include <string>

#include "support/launch.hpp"
#include "support/netns.hpp"
#include "support/pty_session.hpp"
#include "support/tmpdir.hpp"

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

// Writes <d>/<tag>.sh, which mounts tracefs and runs the quiet monitor with env
// and opts, its pid in <d>/<tag>.pid. Returns <d>/<tag>.
inline std::string monitor_script(const TempDir &d, const std::string &tag, const std::string &env,
                                  const std::string &opts)
{
    const std::string f = d.path + "/" + tag;
    d.write(tag + ".sh", "mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null\necho $$ >" + f + ".pid\nexec env " +
                             env + " " + tw_quiet(opts) + "\n");
    return f;
}

// Runs monitor_script f in ns on terminal s; "TW_EXIT=<status>" follows its end.
inline bool start_on(PtySession &s, const NetnsGuard &ns, const std::string &f)
{
    return s.start({"/bin/sh", "-c", ("ip netns exec " + ns.name + " sh " + f + ".sh; echo TW_EXIT=$?").c_str()});
}

// The trace instance of the monitor that monitor_script f started.
inline std::string instance_of(const std::string &f)
{
    return "/sys/kernel/tracing/instances/tarnwatch-$(cat " + f + ".pid 2>/dev/null)";
}

// Shell condition: a tcpdump captures on dev.
inline std::string tcpdump_on(const std::string &dev) { return "pgrep -f '[t]cpdump -i " + dev + " ' >/dev/null"; }
