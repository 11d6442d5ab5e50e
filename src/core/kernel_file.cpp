#include "core/kernel_file.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/fsroot.hpp"

int read_file_str(const char *path, char *buf, size_t size)
{
    if (size == 0) return -1;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n;
    do n = ::read(fd, buf, size - 1);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 0) return -1;  // a directory fails here with EISDIR
    buf[n] = '\0';
    return 0;
}

int kfile_open(const char *kpath)
{
    char path[512];
    if (fs_path(path, sizeof path, "%s", kpath) != 0) return -1;
    return ::open(path, O_RDONLY | O_CLOEXEC);
}

int kfile_str(char *buf, size_t size, const char *fmt, ...)
{
    char kpath[256], path[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(kpath, sizeof kpath, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof kpath) return -1;  // a cut path names another file
    if (fs_path(path, sizeof path, "%s", kpath) != 0) return -1;
    return read_file_str(path, buf, size);
}

void rstrip(char *s)
{
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n')) n--;
    s[n] = '\0';
}

const char *skip_blanks(const char *s)
{
    while (*s == ' ' || *s == '\t') s++;
    return s;
}

uint64_t sysstat(const char *ifname, const char *stat)
{
    char buf[64];
    if (kfile_str(buf, sizeof buf, "/sys/class/net/%s/statistics/%s", ifname, stat) != 0) return 0;
    return std::strtoull(buf, nullptr, 10);
}
