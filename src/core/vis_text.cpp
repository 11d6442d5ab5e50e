#include "core/vis_text.hpp"

#include <cstdio>

void vis_inplace(char *s)
{
    for (; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if ((c < 0x20 && c != '\t') || c == 0x7f) *s = '?';
    }
}

VisText vis(const char *s)
{
    VisText v;
    std::snprintf(v.s, sizeof v.s, "%s", s ? s : "");
    vis_inplace(v.s);
    return v;
}
