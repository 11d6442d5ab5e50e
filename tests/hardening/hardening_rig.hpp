// Shared by the burst and soak tests: the real monitor in a namespace, on a
// link that drops on transmit, and what an operator would look at from outside.
#pragma once
#include <gtest/gtest.h>

#include <memory>
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

// The trace instance of the monitor that start() gave file prefix f.
inline std::string instance_of(const std::string &f)
{
    return "/sys/kernel/tracing/instances/tarnwatch-$(cat " + f + ".pid)";
}

// Shell condition: a tcpdump captures on dev.
inline std::string tcpdump_on(const std::string &dev) { return "pgrep -f '[t]cpdump -i " + dev + " ' >/dev/null"; }

// The monitor in a namespace on dev, a link that drops on transmit (net 77),
// writing its captures under the test's own directory (open to all, as /tmp is).
class MonitorRig : public testing::Test {
protected:
    std::unique_ptr<NetnsGuard> ns;
    std::string dev, cap;
    TempDir t;
    void SetUp() override
    {
        if (!netns_available() || !tracefs_ready() || sh("which tcpdump runuser python3 >/dev/null"))
            GTEST_SKIP() << "needs root, namespaces, a writable tracefs kfree_skb trigger, tcpdump, runuser, python3";
        ns = std::make_unique<NetnsGuard>("twmon");
        dev = "tb" + std::to_string(getpid() % 100000);
        ASSERT_TRUE(drop_link(*ns, dev, 77));
        cap = t.mkdir("cap");
        ASSERT_EQ(sh("chmod 755 " + t.path + " && chmod 1777 " + cap), 0);
    }
    // A test that stops early leaves none of its monitors running.
    void TearDown() override { sh("for f in " + t.path + "/*.pid; do pkill -9 -x tarnwatch -F $f; done 2>/dev/null"); }
    // Starts the quiet monitor on dev with env and opts (later options win), on
    // terminal s ("TW_EXIT=<status>" follows its end) or else in the background
    // (exit status in <f>.rc). Its pid goes to <f>.pid; returns f.
    std::string start(const std::string &opts, const std::string &tag, PtySession *s = nullptr, const std::string &env = "")
    {
        const std::string f = t.path + "/" + tag;
        t.write(tag + ".sh", "mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null\necho $$ >" + f + ".pid\nexec env " +
                                 env + " TARNWATCH_TEST_CAPTURE_DIR=" + cap + " " +
                                 tw_quiet("-M -w " + dev + " -l " + dev + " " + opts) + "\n");
        const std::string run = "ip netns exec " + ns->name + " sh " + f + ".sh";
        EXPECT_TRUE(!s || s->start({"/bin/sh", "-c", (run + "; echo TW_EXIT=$?").c_str()}));
        if (!s) sh("(" + run + " </dev/null >/dev/null 2>&1; echo $? >" + f + ".rc) &");
        EXPECT_TRUE(wait_for("test -s " + f + ".pid", 5));
        return f;
    }
};
