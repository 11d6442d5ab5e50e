#include "topology/iface_names.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>

#include "core/fsroot.hpp"
#include "core/vis_text.hpp"
#include "topology/ifaces.hpp"

void list_interfaces(char *out, size_t n)
{
    out[0] = '\0';
    char dir[256];
    if (fs_path(dir, sizeof dir, "%s", SYS_CLASS_NET) != 0) return;
    DIR *d = ::opendir(dir);
    if (!d) return;
    struct Name {
        char s[16];
    };
    Name names[64];
    int k = 0;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.' || k >= 64) continue;
        std::snprintf(names[k++].s, sizeof names[0].s, "%.15s", vis_ifname(e->d_name).s);
    }
    ::closedir(d);
    std::sort(names, names + k, [](const Name &a, const Name &b) { return std::strcmp(a.s, b.s) < 0; });
    size_t len = 0;
    for (int i = 0; i < k && len + 20 < n; i++)
        len += static_cast<size_t>(std::snprintf(out + len, n - len, "%s%s", i ? " " : "", names[i].s));
}

