#include "core/fsroot.hpp"

#include <cstdarg>
#include <cstdio>

static char g_fsroot[256] = "";

void fsroot_set(const char *prefix)
{
    std::snprintf(g_fsroot, sizeof g_fsroot, "%s", prefix ? prefix : "");
}

const char *fsroot() { return g_fsroot; }

int fs_path(char *out, size_t size, const char *fmt, ...)
{
    if (size == 0) return -1;
    int r = std::snprintf(out, size, "%s", g_fsroot);
    if (r < 0 || static_cast<size_t>(r) >= size) return -1;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(out + r, size - static_cast<size_t>(r), fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= size - static_cast<size_t>(r)) return -1;
    return 0;
}
