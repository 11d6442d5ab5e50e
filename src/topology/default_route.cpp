#include "topology/default_route.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/route.h>

#include "core/kernel_file.hpp"
#include "core/text_lines.hpp"
#include "core/unique_fd.hpp"

// Fields: Iface Destination Gateway Flags RefCnt Use Metric Mask ..., numbers in
// hex (the metric in decimal) as the kernel prints them. The header line has no
// zero destination.
static int default_route_from(LineSource *src, char out[16])
{
    char line[512];
    long best_metric = -1;
    out[0] = '\0';
    while (ls_getline(src, line, sizeof line) >= 0) {
        char name[17], dest[9], mask[9];
        unsigned flags = 0;
        long metric = 0;
        if (std::sscanf(line, "%16s %8s %*s %x %*s %*s %ld %8s", name, dest, &flags, &metric, mask) != 5) continue;
        if (std::strlen(name) > 15 || std::strcmp(dest, "00000000") || std::strcmp(mask, "00000000")) continue;
        if (!(flags & RTF_UP) || metric < 0 || (best_metric >= 0 && metric >= best_metric)) continue;
        best_metric = metric;
        std::memcpy(out, name, std::strlen(name) + 1);
    }
    return out[0] ? 0 : -1;
}

int default_route_parse(std::string_view text, char out[16])
{
    LineSource src = lines_of(text);
    return default_route_from(&src, out);
}

int default_route_iface(char out[16])
{
    out[0] = '\0';
    UniqueFd fd(kfile_open("/proc/net/route"));
    if (!fd.ok()) return -1;
    LineReader lr;
    lr_init(&lr, fd.fd);
    LineSource src = lines_of(&lr);
    return default_route_from(&src, out);
}
