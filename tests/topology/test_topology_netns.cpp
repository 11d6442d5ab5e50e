#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>

#include "core/colors.hpp"
#include "core/settings.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/read_util.hpp"
#include "support/netns.hpp"
#include "topology/ifaces.hpp"
#include "topology/link_state.hpp"
#include "topology/wg_discover.hpp"

static std::string listed()
{
    std::string s;
    for (int i = 0; i < g_n_ifaces; i++) s += std::string(i ? "," : "") + g_ifaces[i];
    return s;
}

// link_state from the kernel's own view. The sysfs flags word lacks the running
// and lower-up bits, which the kernel derives from carrier.
static std::string state_of(const std::string &name)
{
    IfSnap s{};
    char buf[64];
    std::string dir = "/sys/class/net/" + name;
    if (read_file_str((dir + "/flags").c_str(), buf, sizeof buf) == 0) s.flags = std::strtoull(buf, nullptr, 16);
    if (read_file_str((dir + "/carrier").c_str(), buf, sizeof buf) == 0 && buf[0] == '1') s.flags |= 0x10040;
    if (read_file_str((dir + "/operstate").c_str(), s.operstate, 16) == 0) rstrip(s.operstate);
    char out[40];
    const char *color = nullptr;
    link_state(&s, name.c_str(), out, &color);
    return " " + name + "=" + out + (color == GRN ? "/G" : color == RED ? "/R" : "/Y");
}

TEST(topology_netns, discovery_order_and_link_states)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard ns("twtopo"), far("twtopop");
    const std::string names[] = {"wan0", "lan0", "lan0.20", "wan0.7", "lan00", "he6", "enp42s0"};
    for (int i = 0; i < 7; i++) {
        std::string peer = "p" + std::to_string(i);
        ASSERT_EQ(ns.run("ip link add " + names[i] + " type veth peer name " + peer + " netns " + far.name), 0);
        ns.run("ip link set " + names[i] + (names[i] == "wan0.7" ? " down" : " up"));
        if (names[i] != "he6") far.run("ip link set " + peer + " up");
    }
    ASSERT_EQ(ns.run("ip link add link he6 name mv0 type macvlan"), 0);  // over a link without carrier
    ns.run("ip link set mv0 up");
    ASSERT_EQ(ns.run("sh -c 'for i in $(seq 50); do [ $(cat /sys/class/net/lan0/operstate) = up ] && "
                     "[ $(cat /sys/class/net/mv0/operstate) = lowerlayerdown ] && exit 0; sleep 0.1; done; exit 1'"), 0);

    std::string got = in_netns(ns.name, [] {
        colors_set(true);
        g_wan = "wan0";
        g_lan = "lan0";
        wg_discover();  // a veth is no WireGuard device
        iface_discover();
        std::string subs;  // sub-interfaces come in the kernel's listing order
        DIR *d = opendir("/sys/class/net");
        while (const dirent *e = readdir(d))
            if (!std::strcmp(e->d_name, "lan0.20") || !std::strcmp(e->d_name, "wan0.7")) subs += std::string(",") + e->d_name;
        closedir(d);
        std::string r = std::to_string(g_n_wgdevs) + (listed() == "wan0,lan0" + subs + ",he6,enp42s0" ? " ok" : " " + listed());
        for (const char *n : {"lan0", "he6", "mv0", "wan0.7", "lo"}) r += state_of(n);
        g_lan = "wan0";  // WAN and LAN the same interface: listed once
        iface_discover();
        return r + " | " + listed();
    });
    EXPECT_EQ(got, "0 ok lan0=up/G he6=down/R mv0=lowerlayerdown/R wan0.7=down/R lo=up*/G | wan0,wan0.7,he6,enp42s0");
}
