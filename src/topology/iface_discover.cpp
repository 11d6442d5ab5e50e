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
int32_t g_ifaces_left_out = 0;

bool if_exists(const char *name)
{
    // "", "." and ".." (or a name with '/') would name /sys/class/net itself or
    // something outside it, which always exists but is no interface.
    if (!name || !name[0] || std::strchr(name, '/') || !std::strcmp(name, ".") || !std::strcmp(name, ".."))
        return false;
    char path[256];
    if (fs_path(path, sizeof path, "%s/%s", SYS_CLASS_NET, name) != 0) return false;
    return ::access(path, F_OK) == 0;
}

bool add_iface(const char *name)
{
    char cut[16];
    std::snprintf(cut, sizeof cut, "%.15s", name);
    // Compared as stored, so two long names with the same 15 first characters
    // cannot both take a slot.
    for (int32_t i = 0; i < g_n_ifaces; i++)
        if (std::strcmp(g_ifaces[i], cut) == 0) return true;
    if (g_n_ifaces >= MAX_IFACES) return false;
    std::memcpy(g_ifaces[g_n_ifaces++], cut, sizeof cut);
    return true;
}

// Whether name is "<parent>.<anything>", a VLAN sub-interface of parent.
static bool is_sub_of(const char *name, const char *parent)
{
    if (!parent) return false;
    size_t n = std::strlen(parent);
    return std::strncmp(name, parent, n) == 0 && name[n] == '.';
}

static bool is_wgdev(const char *name)
{
    for (int32_t i = 0; i < g_n_wgdevs && i < MAX_WGDEVS; i++)
        if (std::strcmp(g_wgdevs[i], name) == 0) return true;
    return false;
}

// A candidate that does not fit is counted, unless an earlier step offered the
// same name already (and so counted it), so the page can say how many are missing.
static void offer(const char *name, bool offered_before)
{
    if (!add_iface(name) && !offered_before) g_ifaces_left_out++;
}

void iface_discover()
{
    g_n_ifaces = 0;
    g_ifaces_left_out = 0;
    if (if_exists(g_wan)) add_iface(g_wan);
    if (if_exists(g_lan)) add_iface(g_lan);

    bool scanned = false;
    char dirpath[256];
    if (fs_path(dirpath, sizeof dirpath, "%s", SYS_CLASS_NET) == 0) {
        if (DIR *d = ::opendir(dirpath)) {
            scanned = true;
            while (const dirent *e = ::readdir(d)) {
                if (e->d_name[0] == '.') continue;
                if (is_sub_of(e->d_name, g_lan) || is_sub_of(e->d_name, g_wan)) offer(e->d_name, false);
            }
            ::closedir(d);
        }
    }

    for (int32_t i = 0; i < g_n_wgdevs && i < MAX_WGDEVS; i++)
        offer(g_wgdevs[i], scanned && (is_sub_of(g_wgdevs[i], g_lan) || is_sub_of(g_wgdevs[i], g_wan)));
    for (const char *fixed : {"he6", "enp42s0"})
        if (if_exists(fixed)) offer(fixed, is_wgdev(fixed));
}
