// Page buffers and the painter that draws one page with its header lines.
#pragma once
#include <cstdint>
#include <ctime>

#include "core/strbuf.hpp"

constexpr int N_PAGES = 4;
extern StrBuf PAGES[N_PAGES];
extern const char *const PG_NAMES[N_PAGES];
extern int32_t g_page;
extern time_t g_last_ts;
// Set once writing the screen failed for good (reader gone, terminal gone, no
// standard output): the monitor then ends instead of sampling for no one.
extern int32_t g_output_lost;

// Each page's first shown line, kept across samples (clamped when shown).
extern int32_t g_scroll[N_PAGES];
// Set while the current page's keys are shown instead of its text.
extern int32_t g_help;
// Whether a burst capture runs, for the flag beside the page tabs; set by the
// loop that wires the program together, so the screen knows no page. nullptr:
// never flagged.
extern bool (*g_screen_capturing)();

// Sets up the four page buffers, the alert list and the screen with 64 KiB each.
void buffers_setup();
// Draws the current page from the buffers; reads nothing from the system.
// Fitted to g_rows x g_cols when they are known: the header, tabs and alert
// line stay on top and the page is clipped below them.
void paint();
// Moves the current page by a scrolling key (Up, Down, PgUp, PgDn, Home,
// End) within the rows the screen has for it; false for any other key.
bool screen_scroll(int key);
// Prints the once-mode report: header, alert line and all four pages.
void print_once_report();
// Writes text into an existing file (ftrace control files), silently.
void write_str(const char *path, const char *text);
