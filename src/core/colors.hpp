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
