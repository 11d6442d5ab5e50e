// --check: one line per source the pages read, "ok" or what is missing and what
// to do about it. It goes through the pages' own readers, tool runner and
// fixture root, and only looks: no trace instance is made, no trigger set, no
// gate command sent, and every tool it asks is cut off well within a second.
#pragma once
#include <cstdio>

// Runs every check with the current settings (-w, -l, -b, -W, -B, -P) and writes
// the lines to out. Returns 0 when everything the pages need works, else 1.
int self_check(FILE *out);

// How long the whole check may take, tools included.
constexpr int CHECK_BUDGET_MS = 900;
// How long one tool may take, at most (less when the budget runs low).
constexpr int CHECK_TOOL_MS = 300;
