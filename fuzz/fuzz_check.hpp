// What every harness asserts beyond the sanitizers: the text that reaches the
// terminal is displayable, and fields stay within their sizes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#define FUZZ_REQUIRE(cond)                                                               \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "%s:%d: requirement failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

// Written apart from the filter itself: no C0 (TAB included), no DEL, no C1 in
// either form, and nothing but well-formed UTF-8.
inline bool displayable(const char *s)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    while (*p) {
        unsigned c = *p;
        if (c < 0x20 || c == 0x7f || (c >= 0x80 && c <= 0x9f)) return false;
        if (c < 0x80) {
            p++;
            continue;
        }
        int n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
        if (n == 0 || c > 0xf4) return false;
        uint32_t cp = c & (0x3f >> (n - 1));
        for (int i = 1; i < n; i++) {
            if ((p[i] & 0xc0) != 0x80) return false;
            cp = cp << 6 | (p[i] & 0x3f);
        }
        static const uint32_t MIN[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < MIN[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        if (cp >= 0x80 && cp <= 0x9f) return false;  // C1, UTF-8 encoded
        p += n;
    }
    return true;
}

// NUL-terminated within a field of size n.
inline bool fits(const char *field, size_t n) { return ::strnlen(field, n) < n; }

inline std::string_view as_text(const uint8_t *data, size_t size)
{
    return std::string_view(reinterpret_cast<const char *>(data), size);
}
