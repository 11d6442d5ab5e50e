// What every step of --check shares: the report's lines, the time left, and
// tool runs bounded by it.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdio>

struct ToolRun;

enum CheckStatus { CHECK_OK, CHECK_NOTE, CHECK_FAIL };

struct Check {
    FILE *out;
    int fails = 0;
    std::chrono::steady_clock::time_point deadline;
};

// One line: "ok", "--" or "FAIL", the source, then the detail.
void check_line(Check *c, CheckStatus st, const char *source, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// The next tool runs share what is left of the check's time, CHECK_TOOL_MS at
// most, through the pages' runner; check_runs_end closes that budget.
void check_runs_begin(const Check &c);
void check_runs_end();
// Reads a started run's output into out (first size-1 bytes) and ends it with
// whatever it left running. The exit status (127: not found), or -1 when it
// gave no result in time.
int check_finish(ToolRun *run, char *out, size_t size);
// One bounded run of argv: check_runs_begin, tool_start, check_finish.
int check_tool(Check *c, const char *const argv[], char *out, size_t size);

// The steps, in report order.
void check_root(Check *c);
void check_kernel_files(Check *c);
void check_links(Check *c);
void check_tools(Check *c);
void check_wireguard(Check *c);
void check_bird(Check *c);
void check_tracefs(Check *c);
void check_gate(Check *c);
