// Runs an outside tool directly, without a shell: names taken from the system
// (interface names may hold ; $ ` | & and control bytes) reach the tool as one
// argument each and are never interpreted. Standard output comes back through a
// pipe, standard error goes to /dev/null, standard input is /dev/null; no other
// descriptor of the monitor reaches the tool.
//
// Every run is bounded in time, and so is the sum of the runs of one sample:
// a tool that stalls (a driver holding the routing lock hangs every `tc`) must
// not keep the screen and the keys from the operator.
#pragma once
#include <cstddef>
#include <sys/types.h>

#include "core/line_reader.hpp"

struct ToolRun {
    pid_t pid = -1;  // also the tool's process group
    int pidfd = -1;  // readable once the tool has exited; -1 where the kernel has none
    bool timed_out = false;  // the run's time ran out, or the tool was refused for this sample
    bool awaited = false;    // the first wait for the tool's end (see tool_getline) is behind us
    char name[16] = "";      // what a time-out is reported as
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
// How long all the runs of one sample may take together.
constexpr int TOOL_SAMPLE_BUDGET_MS = 4000;
// How long a tool may take to exit once its output has been read.
constexpr int TOOL_EXIT_GRACE_MS = 1000;
// How long the first read waits for the tool to end before reading what it
// wrote so far: a short tool is then read in one go, with one wake-up.
constexpr int TOOL_FIRST_WAIT_MS = 25;

// Starts argv[0] (searched on PATH) with the NULL-terminated argv; name (by
// default the last part of argv[0]) is what a time-out is reported as and what
// the sample refuses once it has timed out. Returns 0, or -1 when no child was
// started: pipe, fork or /dev/null failed, or within a sample the tool has
// already timed out or the sample's budget is spent (then timed_out is set). A
// tool that is missing still starts a child, which exits 127 with no output.
int tool_start(ToolRun *t, const char *const argv[], const char *name = nullptr);
// Next output line (see lr_getline); -1 at the end of the output or once the
// run's time is up.
long tool_getline(ToolRun *t, char *line, size_t size);
// Closes the pipe, ends the tool's whole process group (whatever the tool left
// running) and reaps the tool, giving it a moment to exit on its own first
// unless it has already timed out. Returns the tool's wait status, or -1 when
// there was no child.
int tool_close(ToolRun *t);

// Keys while a sample collects: every wait of a run (and of the gate client)
// also wakes for input on fd and calls on_input, which answers what it can
// from the last sample's pages. Its false gives the sample up (the operator
// quits): the runs then end at once as on a time-out, their tools killed and
// reaped, and no other run starts until the next sample. fd -1 stops watching.
using KeyInputFn = bool (*)();
void tool_watch_keys(int fd, KeyInputFn on_input);
// What the waits watch: the descriptor (-1: none) and, for a wait of its own,
// the handler call; false once the sample is given up.
extern int g_tool_key_fd;
bool tool_keys_ready();
bool tool_sample_given_up();

// A sample's runs: its budget (budget_ms for all of them) starts here, and until
// tool_sample_end a tool that timed out is not started again.
void tool_sample_begin(int budget_ms = TOOL_SAMPLE_BUDGET_MS);
// Raises one alert per tool that timed out in the sample ("tc timed out") and
// ends the sample's bookkeeping.
void tool_sample_end();
