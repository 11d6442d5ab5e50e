#include "overview/tool_lines.hpp"

#include <cstdlib>
#include <cstring>

ToolLines::~ToolLines() { std::free(text); }

void tl_clear(ToolLines *t) { t->len = 0; }

bool tl_add(ToolLines *t, const char *line, size_t n)
{
    if (t->len + n + 1 > TOOL_LINES_MAX) return false;
    if (t->len + n + 1 > t->cap) {
        size_t cap = t->cap ? t->cap : 4096;
        while (cap < t->len + n + 1) cap *= 2;
        if (cap > TOOL_LINES_MAX) cap = TOOL_LINES_MAX;
        char *grown = static_cast<char *>(std::realloc(t->text, cap));
        if (!grown) return false;
        t->text = grown;
        t->cap = cap;
    }
    std::memcpy(t->text + t->len, line, n);
    t->len += n;
    t->text[t->len++] = '\n';
    return true;
}

long tl_next(const ToolLines *t, size_t *pos, char *line, size_t size)
{
    if (*pos >= t->len || size == 0) return -1;
    const char *start = t->text + *pos;
    const char *nl = static_cast<const char *>(std::memchr(start, '\n', t->len - *pos));
    size_t n = nl ? static_cast<size_t>(nl - start) : t->len - *pos;
    *pos += n + 1;
    size_t keep = n < size - 1 ? n : size - 1;
    std::memcpy(line, start, keep);
    line[keep] = '\0';
    return static_cast<long>(keep);
}
