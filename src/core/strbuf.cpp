#include "core/strbuf.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void sb_init(StrBuf *b, uint64_t cap)
{
    if (cap == 0) cap = 1;
    b->buf = static_cast<char *>(std::malloc(cap));
    if (!b->buf) std::abort();  // nothing can be shown without the page buffers
    b->buf[0] = '\0';
    b->len = 0;
    b->cap = cap;
}

void sb_clear(StrBuf *b)
{
    b->len = 0;
    if (b->buf) b->buf[0] = '\0';
}

void sb_vappend(StrBuf *b, const char *fmt, va_list ap)
{
    va_list measure;
    va_copy(measure, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (n < 0) return;
    if (!b->buf) sb_init(b, 64);

    uint64_t need = b->len + static_cast<uint64_t>(n) + 1;
    if (b->cap < need) {
        uint64_t cap = b->cap;
        while (cap < need) cap *= 2;
        char *grown = static_cast<char *>(std::realloc(b->buf, cap));
        if (!grown) std::abort();  // appends have no error result; losing page text silently is worse
        b->buf = grown;
        b->cap = cap;
    }
    std::vsnprintf(b->buf + b->len, b->cap - b->len, fmt, ap);
    b->len += static_cast<uint64_t>(n);
}

void sb_addf(StrBuf *b, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    sb_vappend(b, fmt, ap);
    va_end(ap);
}

void copy_cut(char *dst, size_t n, std::string_view v)
{
    size_t k = v.size() < n - 1 ? v.size() : n - 1;
    std::memcpy(dst, v.data(), k);
    dst[k] = '\0';
}
