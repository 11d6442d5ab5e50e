// The six colour strings every renderer writes; empty when colour is off.
#pragma once

extern const char *BOLD;
extern const char *RST;
extern const char *DIM;
extern const char *GRN;
extern const char *YEL;
extern const char *RED;

// Sets the strings to their SGR sequences (on) or to empty strings (off).
void colors_set(bool on);
// Colour when not forced on or off: output to a terminal that takes colour,
// unless NO_COLOR is set and not empty.
bool colors_auto(bool out_is_tty, bool term_ansi, const char *no_color);
