// Lines from either a descriptor (through a LineReader) or text already in
// memory, with the same cutting rules, so each file parser has one body that
// the live reader and tests or fuzzers on a buffer share.
#pragma once
#include <cstddef>
#include <string_view>

#include "core/line_reader.hpp"

struct LineSource {
    LineReader *lr = nullptr;  // read from here when set
    std::string_view text;     // else taken from here
};

inline LineSource lines_of(LineReader *lr) { return LineSource{lr, {}}; }
inline LineSource lines_of(std::string_view text) { return LineSource{nullptr, text}; }

// As lr_getline: the next line without its '\n', cut to size - 1 bytes (the
// rest of a longer line skipped); the length kept, or -1 at the end.
long ls_getline(LineSource *s, char *line, size_t size);
