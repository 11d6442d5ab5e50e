// What page 4 shows, read from the gate daemon, its pinned maps and /sys.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/fsroot.hpp"
#include "core/kernel_file.hpp"
#include "core/vis_text.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"

void mw_collect()
{
    mw_cpu_count();
    mw_open_maps();
    mw_refresh_status();
    mw_stats_read();
    mw_read_lists();
}

static bool nic_name_ok(const char *s)
{
    size_t n = std::strlen(s);
    if (n == 0 || n > 15 || s[0] == '.') return false;
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

static void fill_nic(MwNic *n, const char *name)
{
    std::memset(n, 0, sizeof *n);
    std::snprintf(n->name, sizeof n->name, "%s", name);

    char path[320], link[256];
    std::snprintf(n->driver, sizeof n->driver, "?");
    if (fs_path(path, sizeof path, "/sys/class/net/%s/device/driver", name) == 0) {
        ssize_t r = readlink(path, link, sizeof link - 1);
        if (r > 0) {
            link[r] = '\0';
            const char *slash = std::strrchr(link, '/');
            std::snprintf(n->driver, sizeof n->driver, "%.31s", slash ? slash + 1 : link);
            vis_inplace(n->driver);
        }
    }
    if (kfile_str(n->state, sizeof n->state, "/sys/class/net/%s/operstate", name) == 0) {
        rstrip(n->state);
        vis_inplace(n->state);
    } else {
        std::snprintf(n->state, sizeof n->state, "?");
    }
    char sp[32];
    n->speed = kfile_str(sp, sizeof sp, "/sys/class/net/%s/speed", name) == 0 ? std::strtoll(sp, nullptr, 10) : -1;
    for (int i = 0; i < g_mw_ngate; i++)
        if (std::strcmp(g_mw_gate[i], name) == 0) n->in_gate = 1;
}

void mw_scan_nics()
{
    g_mw_nnic = 0;
    char path[320];
    if (fs_path(path, sizeof path, "/sys/class/net") != 0) return;
    DIR *d = opendir(path);
    if (!d) return;
    while (g_mw_nnic < 16) {
        dirent *e = readdir(d);
        if (!e) break;
        if (!nic_name_ok(e->d_name)) continue;
        struct stat st;
        if (fs_path(path, sizeof path, "/sys/class/net/%s/device", e->d_name) != 0 || stat(path, &st) != 0) continue;
        fill_nic(&g_mw_nic[g_mw_nnic++], e->d_name);
    }
    closedir(d);
}

