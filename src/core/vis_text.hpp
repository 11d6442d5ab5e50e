// Outside text (interface names, tool output, configuration comments) on its way
// to the terminal: control bytes are shown as '?', so a name holding ESC or a
// tool printing escape sequences cannot move the cursor, clear the screen or
// rewrite the terminal's settings. C1 controls count too, raw (0x9b is CSI to
// the Linux console and 8-bit terminals) and UTF-8 encoded (C2 9B is CSI to a
// UTF-8 terminal), and so do bytes that are not valid UTF-8, which terminals
// decode each in their own way.
#pragma once
#include <cstddef>

// Replaces, byte for byte, every C0 control, DEL, every C1 control in either
// form and every byte of an invalid UTF-8 sequence (stray continuation bytes,
// overlong forms, surrogates, code points past U+10FFFF, sequences cut short)
// by '?', except TAB, which becomes a blank. The length never changes, so
// views into s stay valid.
void vis_inplace(char *s);
// Interface names: the kernel allows any byte in them but '/', ':' and blanks,
// and they are shown in aligned columns, so everything outside printable
// ASCII (TAB included) becomes '?'.
void vis_ifname_inplace(char *s);

// A displayable copy of a short text, for use inside one sb_addf call:
// sb_addf(b, "%s", vis(name).s). Longer text is cut to 63 bytes first, so a
// sequence split by the cut is replaced too.
// Length (2 to 4) of the valid multi-byte UTF-8 sequence that starts at s, or 0
// when the bytes there start none (ASCII bytes included).
size_t utf8_seq_len(const unsigned char *s);

struct VisText {
    char s[64];
};
VisText vis(const char *s);
VisText vis_ifname(const char *s);
