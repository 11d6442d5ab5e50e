// The lines one run of an outside tool printed, kept from the collection of a
// sample to the build of its page, so the page is built without the tool.
#pragma once
#include <cstddef>

// The most text kept of one run: a runaway tool cannot take the memory; the
// lines after that are not kept.
constexpr size_t TOOL_LINES_MAX = 8u << 20;

struct ToolLines {
    char *text = nullptr;  // lines, each ended by '\n'; grows by doubling
    size_t len = 0, cap = 0;
    ToolLines() = default;
    ToolLines(const ToolLines &) = delete;
    ToolLines &operator=(const ToolLines &) = delete;
    ~ToolLines();
};

void tl_clear(ToolLines *t);
// Appends one line of n bytes (as read, without its '\n'); false once the
// store is full, and the line is then not kept.
bool tl_add(ToolLines *t, const char *line, size_t n);
// The line at *pos copied into line (NUL-terminated, cut to size - 1 bytes);
// *pos moves past it. Returns its length, or -1 after the last line.
long tl_next(const ToolLines *t, size_t *pos, char *line, size_t size);
