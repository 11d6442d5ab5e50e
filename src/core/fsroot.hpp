// Every procfs/sysfs path goes through here, so tests can point the readers at a
// fixture tree. The prefix is set only by tests, never from the command line.
#pragma once
#include <cstddef>

// Prefix put before every "/proc/..." and "/sys/..." path; "" on a live system.
void fsroot_set(const char *prefix);
const char *fsroot();

// Formats a kernel path (which starts with '/') under the root into out.
// Returns 0, or -1 when the path did not fit (out then holds the cut text).
int fs_path(char *out, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
