#include "topology/ifaces.hpp"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "core/fsroot.hpp"
#include "core/settings.hpp"
#include "topology/wg_discover.hpp"

char g_ifaces[MAX_IFACES][16];
int32_t g_n_ifaces = 0;

bool if_exists(const char *name)
{
    // "", "." and ".." (or a name with '/') would name /sys/class/net itself or
    // something outside it, which always exists but is no interface.
    if (!name || !name[0] || std::strchr(name, '/') || !std::strcmp(name, ".") || !std::strcmp(name, ".."))
        return false;
    char path[256];
    if (fs_path(path, sizeof path, "/sys/class/net/%s", name) != 0) return false;
    return ::access(path, F_OK) == 0;
}

void add_iface(const char *name)
{
    if (g_n_ifaces >= MAX_IFACES) return;
    char cut[16];
    std::snprintf(cut, sizeof cut, "%.15s", name);
    // Compared as stored, so two long names with the same 15 first characters
    // cannot both take a slot.
    for (int32_t i = 0; i < g_n_ifaces; i++)
        if (std::strcmp(g_ifaces[i], cut) == 0) return;
    std::memcpy(g_ifaces[g_n_ifaces++], cut, sizeof cut);
}

// Whether name is "<parent>.<anything>", a VLAN sub-interface of parent.
static bool is_sub_of(const char *name, const char *parent)
{
    if (!parent) return false;
    size_t n = std::strlen(parent);
    return std::strncmp(name, parent, n) == 0 && name[n] == '.';
}

void iface_discover()
{
    g_n_ifaces = 0;
    if (if_exists(g_wan)) add_iface(g_wan);
    if (if_exists(g_lan)) add_iface(g_lan);

    char dirpath[256];
    if (fs_path(dirpath, sizeof dirpath, "/sys/class/net") == 0) {
        if (DIR *d = ::opendir(dirpath)) {
            while (const dirent *e = ::readdir(d)) {
                if (e->d_name[0] == '.') continue;
                if (is_sub_of(e->d_name, g_lan) || is_sub_of(e->d_name, g_wan)) add_iface(e->d_name);
            }
            ::closedir(d);
        }
    }

    for (int32_t i = 0; i < g_n_wgdevs; i++) add_iface(g_wgdevs[i]);
    if (if_exists("he6")) add_iface("he6");
    if (if_exists("enp42s0")) add_iface("enp42s0");
}
