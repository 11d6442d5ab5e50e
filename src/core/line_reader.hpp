// Line-by-line reading from a descriptor through a fixed buffer: no heap use, so
// per-sample readers allocate nothing. A line longer than the caller's buffer is
// cut and the rest of it is skipped, so an over-long line never turns into extra
// lines that a parser would take for records of their own.
#pragma once
#include <cstddef>

struct LineReader {
    int fd = -1;
    size_t pos = 0;
    size_t end = 0;
    bool eof = false;
    bool timed_out = false;   // the input was ended by a wait or the deadline, not by its writer
    int timeout_ms = -1;      // >= 0: a wait longer than this for more bytes ends the input
    long long deadline_ms = 0;  // > 0: monotonic time at which reading stops, even inside a line
    int done_fd = -1;         // >= 0: readable once the writer is gone; what is buffered is still read
    // With a deadline or time-out: *wake_fd (when >= 0) is watched too, and
    // on_wake called when it is readable; its false ends the input as a time-out.
    const int *wake_fd = nullptr;
    bool (*on_wake)() = nullptr;
    char buf[4096];
};

void lr_init(LineReader *lr, int fd, int timeout_ms = -1);
// Copies the next line, without its '\n', into line (NUL-terminated, at most
// size - 1 bytes). Returns the length kept, or -1 at end of input or on error.
// A line that the deadline or a wait cuts short is dropped, never returned:
// a cut "dropped 123" would read as a smaller number.
long lr_getline(LineReader *lr, char *line, size_t size);

// Milliseconds on the monotonic clock.
long long mono_ms();
// Seconds on the same clock.
double mono_secs();
