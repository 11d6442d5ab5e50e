// --check: one line per source the pages read, "ok" or what is missing and what
// to do about it. It only looks: no trace instance is made, no trigger set, no
// gate command sent, and every tool it asks is cut off well within a second.
#pragma once
#include <cstdint>
#include <cstdio>

// Set by --check.
extern int32_t g_check;

// Runs every check with the current settings (-w, -l, -b, -W, -B, -P) and writes
// the lines to out. Returns 0 when everything the pages need works, else 1.
int self_check(FILE *out);

// How long the whole check may take, tools included.
constexpr int CHECK_BUDGET_MS = 900;
// How long one tool may take, at most (less when the budget runs low).
constexpr int CHECK_TOOL_MS = 300;

// One bounded run of a tool with its output (first size-1 bytes) in out; standard
// input and error are /dev/null. Returns the exit status (127 when the tool is
// not found), or -1 when it could not start or ran out of time.
int check_run(const char *const argv[], int budget_ms, char *out, size_t size);
