// The interfaces: the sysfs class directory, the WAN and LAN, and what their
// drivers answer to the ethtool requests page 2 makes at discovery.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>

#include "check/check_report.hpp"
#include "core/fsroot.hpp"
#include "core/kernel_file.hpp"
#include "core/settings.hpp"
#include "core/vis_text.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "topology/iface_names.hpp"
#include "topology/ifaces.hpp"

namespace {

struct Nic {
    const char *role, *name, *opt;
};

void class_dir(Check *c)
{
    char dir[256];
    DIR *d = fs_path(dir, sizeof dir, "%s", SYS_CLASS_NET) == 0 ? ::opendir(dir) : nullptr;
    if (d) {
        ::closedir(d);
        check_line(c, CHECK_OK, SYS_CLASS_NET, "readable");
    } else {
        check_line(c, CHECK_FAIL, SYS_CLASS_NET, "%s; no interface can be watched (is /sys mounted?)",
                   std::strerror(errno));
    }
}

void presence(Check *c, const Nic &n, const char *here)
{
    char src[40];
    std::snprintf(src, sizeof src, "%s %.15s", n.role, vis_ifname(n.name).s);
    if (!if_exists(n.name)) {
        check_line(c, CHECK_FAIL, src, "no such interface; here: %s; name yours with %s IF", here[0] ? here : "(none)",
                   n.opt);
        return;
    }
    char state[16] = "";
    if (kfile_str(state, sizeof state, "%s/%s/operstate", SYS_CLASS_NET, n.name) == 0) rstrip(state);
    check_line(c, CHECK_OK, src, "present, operstate %s", state[0] ? vis_ifname(state).s : "unknown");
}

// The same requests page 2 makes at discovery; they only read.
void driver(Check *c, const Nic &n)
{
    char src[40];
    std::snprintf(src, sizeof src, "ethtool %.15s", vis_ifname(n.name).s);
    static EthDev dev;
    ethdev_discover(&dev, n.name);
    if (!dev.driver[0]) {
        check_line(c, CHECK_FAIL, src,
                   "the driver does not answer ethtool requests: no driver statistics or flags on page 2");
    } else {
        char flags[48];
        if (dev.pflags_ok)
            std::snprintf(flags, sizeof flags, "%u private flags", dev.n_pflags);
        else
            std::snprintf(flags, sizeof flags, "no private flags");
        check_line(c, CHECK_OK, src, "driver %s, %u statistics (%d watched), %s", vis(dev.driver).s, dev.n_stats,
                   dev.n_watch, flags);
    }
    ethdev_release(&dev);
}

}  // namespace

void check_links(Check *c)
{
    class_dir(c);
    const Nic nics[] = {{"wan", g_wan, "-w"}, {"lan", g_lan, "-l"}};
    char here[400];
    list_interfaces(here, sizeof here);
    for (const Nic &n : nics) presence(c, n, here);
    if (g_ethsock < 0) g_ethsock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (int i = 0; i < 2; i++)
        if (if_exists(nics[i].name) && !(i == 1 && std::strcmp(g_wan, g_lan) == 0)) driver(c, nics[i]);
}
