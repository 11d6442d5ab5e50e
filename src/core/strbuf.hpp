// Growable NUL-terminated text buffer that every page and the alert list write into.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

struct StrBuf {
    char *buf = nullptr;
    uint64_t len = 0;
    uint64_t cap = 0;
};

// Allocates cap bytes (at least 1) and empties the buffer.
void sb_init(StrBuf *b, uint64_t cap);
// Empties the buffer and keeps its storage.
void sb_clear(StrBuf *b);
void sb_vappend(StrBuf *b, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
void sb_addf(StrBuf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Fills a fixed text field of n bytes with v, cut to fit: fields never overflow.
void copy_cut(char *dst, size_t n, std::string_view v);
