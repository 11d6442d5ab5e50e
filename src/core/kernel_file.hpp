// Small-file reading shared by every procfs/sysfs reader.
#pragma once
#include <cstddef>
#include <cstdint>

// One read of at most size - 1 bytes, NUL-terminated, not trimmed. Returns 0, or
// -1 when the open or the read fails (buf is then untouched).
int read_file_str(const char *path, char *buf, size_t size);
// Opens a procfs/sysfs file (path under the fixture root) for reading; -1 when absent.
int kfile_open(const char *kpath);
// read_file_str of the procfs/sysfs path formatted from fmt, under the fixture root.
int kfile_str(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Removes trailing spaces, tabs, CRs and LFs in place.
void rstrip(char *s);
// The first character of s that is not a space or a tab.
const char *skip_blanks(const char *s);
// /sys/class/net/<ifname>/statistics/<stat> as an unsigned number; 0 when unreadable.
uint64_t sysstat(const char *ifname, const char *stat);
