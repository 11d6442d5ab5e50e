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

// Sets up the four page buffers and the alert list with 64 KiB each.
void buffers_setup();
// Draws the current page from the buffers; reads nothing from the system.
void paint();
// Prints the once-mode report: header, alert line and all four pages.
void print_once_report();
// Writes text into an existing file (ftrace control files), silently.
void write_str(const char *path, const char *text);
