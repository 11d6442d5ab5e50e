// Page text cut to the terminal: by display columns, never inside an escape
// or UTF-8 sequence, so no row wraps and no cut leaves the terminal in a colour.
#pragma once
#include <cstddef>
#include <string_view>

#include "core/strbuf.hpp"

// Display columns of one line: colour sequences take none, wide characters two.
int text_cols(std::string_view line);
// Appends at most cols display columns of line (which holds no '\n') to out.
// Colour (SGR) sequences are kept whole, other escape sequences and control
// bytes dropped or shown as '?', and a line that held colour ends with a
// reset. Returns the number of bytes of line taken.
size_t clip_append(StrBuf *out, std::string_view line, int cols);
// Bytes of plain text to put on a row of cols columns when wrapping: at the
// last blank of the row when there is one in its second half.
size_t wrap_len(std::string_view text, int cols);
