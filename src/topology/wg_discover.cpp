#include "topology/wg_discover.hpp"

#include <cstdio>
#include <cstring>
#include <dirent.h>

#include "core/fsroot.hpp"
#include "core/kernel_file.hpp"
#include "core/settings.hpp"

char g_wgdevs[MAX_WGDEVS][16];
int32_t g_n_wgdevs = 0;
int32_t g_n_wgconfs = 0;
PeerName g_peer_names[MAX_PEER_NAMES];
int32_t g_n_peer_names = 0;
WgHealth g_wg_health[MAX_WG_HEALTH];
int32_t g_n_wg_health = 0;

static bool is_wireguard(const char *name)
{
    char uevent[512];
    if (kfile_str(uevent, sizeof uevent, "/sys/class/net/%s/uevent", name) != 0) return false;
    return std::strstr(uevent, "DEVTYPE=wireguard") != nullptr;
}

void wg_discover()
{
    g_n_wgdevs = 0;
    g_n_wgconfs = 0;
    g_n_peer_names = 0;
    char dirpath[256];
    if (fs_path(dirpath, sizeof dirpath, "/sys/class/net") != 0) return;
    DIR *d = ::opendir(dirpath);
    if (!d) return;
    while (const dirent *e = ::readdir(d)) {
        if (g_n_wgdevs >= MAX_WGDEVS) break;
        if (e->d_name[0] == '.') continue;
        if (!is_wireguard(e->d_name)) continue;
        char *dev = g_wgdevs[g_n_wgdevs++];
        std::snprintf(dev, 16, "%.15s", e->d_name);
        // The configuration directory is the operator's own path, not a kernel one.
        char conf[4096];
        int n = std::snprintf(conf, sizeof conf, "%s/%s.conf", g_wgdir ? g_wgdir : "", dev);
        if (n < 0 || static_cast<size_t>(n) >= sizeof conf) continue;  // a cut path names another file
        if (wg_conf_names_load(conf)) g_n_wgconfs++;
    }
    ::closedir(d);
}
