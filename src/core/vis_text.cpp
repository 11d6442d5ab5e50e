#include "core/vis_text.hpp"

#include <cstdio>

// Length of the valid UTF-8 sequence that starts at s, or 0 when the bytes
// there start none (then only the first of them is rejected).
size_t utf8_seq_len(const unsigned char *s)
{
    unsigned char c = s[0];
    size_t n;
    unsigned char lo = 0x80, hi = 0xbf;  // range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0) lo = 0xa0;  // overlong below U+0800
        if (c == 0xed) hi = 0x9f;  // surrogates U+D800..U+DFFF
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0) lo = 0x90;  // overlong below U+10000
        if (c == 0xf4) hi = 0x8f;  // past U+10FFFF
    } else {
        return 0;  // continuation byte, C0/C1 overlong lead or F5..FF
    }
    if (s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < n; i++)
        if (s[i] < 0x80 || s[i] > 0xbf) return 0;  // the NUL ends a cut sequence here too
    return n;
}

void vis_inplace(char *str)
{
    unsigned char *s = reinterpret_cast<unsigned char *>(str);
    while (*s) {
        unsigned char c = *s;
        if (c < 0x80) {
            // A tab is a cursor movement too; as a blank it keeps a column's gap.
            if (c == '\t')
                *s = ' ';
            else if (c < 0x20 || c == 0x7f)
                *s = '?';
            s++;
            continue;
        }
        size_t n = utf8_seq_len(s);
        if (n == 0) {
            *s++ = '?';
        } else if (c == 0xc2 && s[1] <= 0x9f) {  // U+0080..U+009F, the C1 controls
            s[0] = s[1] = '?';
            s += 2;
        } else {
            s += n;
        }
    }
}

void vis_ifname_inplace(char *s)
{
    for (; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c < 0x20 || c > 0x7e) *s = '?';
    }
}

VisText vis(const char *s)
{
    VisText v;
    std::snprintf(v.s, sizeof v.s, "%s", s ? s : "");
    vis_inplace(v.s);
    return v;
}

VisText vis_ifname(const char *s)
{
    VisText v;
    std::snprintf(v.s, sizeof v.s, "%s", s ? s : "");
    vis_ifname_inplace(v.s);
    return v;
}
