// Outside text (interface names, tool output, configuration comments) on its way
// to the terminal: control bytes are shown as '?', so a name holding ESC or a
// tool printing escape sequences cannot move the cursor, clear the screen or
// rewrite the terminal's settings.
#pragma once
#include <cstddef>

// Replaces every C0 control byte but TAB, and DEL, in s, in place.
void vis_inplace(char *s);

// A displayable copy of a short name, for use inside one sb_addf call:
// sb_addf(b, "%s", vis(name).s). Longer text is cut to 63 bytes.
struct VisText {
    char s[64];
};
VisText vis(const char *s);
