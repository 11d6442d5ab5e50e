// Runs an outside tool directly, without a shell: names taken from the system
// (interface names may hold ; $ ` | & and control bytes) reach the tool as one
// argument each and are never interpreted. Standard output comes back through a
// pipe, standard error goes to /dev/null, standard input is /dev/null.
#pragma once
#include <cstddef>
#include <sys/types.h>

#include "core/line_reader.hpp"

struct ToolRun {
    pid_t pid = -1;
    long long deadline_ms = 0;  // monotonic; output after this is not read
    LineReader lr;
    ToolRun() = default;
    ToolRun(const ToolRun &) = delete;
    ToolRun &operator=(const ToolRun &) = delete;
    ~ToolRun();
};

// How long one wait for more output may last before the tool is given up on.
constexpr int TOOL_READ_TIMEOUT_MS = 3000;
// How long one run's output is read at most, so a tool that trickles bytes
// forever (or floods) still ends within its sample.
constexpr int TOOL_RUN_BUDGET_MS = 5000;

// Starts argv[0] (searched on PATH) with the NULL-terminated argv.
// Returns 0, or -1 when no child could be started (pipe or fork failed). A tool
// that is missing still starts a child, which exits 127 with no output.
int tool_start(ToolRun *t, const char *const argv[]);
// Next output line (see lr_getline); -1 at the end of the output or once the
// run's time budget is spent.
long tool_getline(ToolRun *t, char *line, size_t size);
// Closes the pipe and reaps the child (killing it and its process group if it
// does not end within a second). Returns the child's wait status, or -1 when
// there was no child.
int tool_close(ToolRun *t);
