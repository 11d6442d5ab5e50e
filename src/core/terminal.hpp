// What the terminal is: whether it takes cursor and screen sequences, and its size.
#pragma once
#include <csignal>
#include <cstdint>

// TERM names a terminal that takes cursor and screen sequences (not "dumb", not unknown).
extern int32_t g_term_ansi;
// Live screen on such a terminal: drawn on the alternate screen, sized to the window.
extern int32_t g_term_full;
// The alternate screen is on and the cursor hidden: every way out must undo it.
extern volatile sig_atomic_t g_term_entered;
// Rows and columns the screen is fitted to; 0 when not fitted (a log, a file, a size unknown).
extern int32_t g_rows;
extern int32_t g_cols;

// The alternate screen with the cursor hidden, and back to the user's screen.
constexpr const char *TERM_ENTER = "\x1b[?1049h\x1b[?25l";
constexpr const char *TERM_LEAVE = "\x1b[?25h\x1b[?1049l";

// Whether a TERM value names a terminal known to take ANSI sequences: a
// common family by name, or an entry in the terminfo database.
bool term_is_ansi(const char *term);
// Reads the window size of fd into g_rows and g_cols (0 and 0 when unknown).
void term_fetch_size(int fd);
