#include "core/line_reader.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

void lr_init(LineReader *lr, int fd, int timeout_ms)
{
    lr->fd = fd;
    lr->timeout_ms = timeout_ms;
    lr->pos = lr->end = 0;
    lr->eof = fd < 0;
}

// Refills the buffer; false at end of input or on a read error.
static bool lr_fill(LineReader *lr)
{
    if (lr->eof) return false;
    for (;;) {
        if (lr->timeout_ms >= 0) {
            pollfd p{lr->fd, POLLIN, 0};
            int r = ::poll(&p, 1, lr->timeout_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {  // a stalled writer ends the input instead of the sample
                lr->eof = true;
                return false;
            }
        }
        ssize_t n = ::read(lr->fd, lr->buf, sizeof lr->buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            lr->eof = true;
            return false;
        }
        lr->pos = 0;
        lr->end = static_cast<size_t>(n);
        return true;
    }
}

long lr_getline(LineReader *lr, char *line, size_t size)
{
    size_t kept = 0;
    bool any = false;
    for (;;) {
        if (lr->pos >= lr->end && !lr_fill(lr)) break;
        any = true;
        const char *start = lr->buf + lr->pos;
        size_t avail = lr->end - lr->pos;
        const char *nl = static_cast<const char *>(std::memchr(start, '\n', avail));
        size_t take = nl ? static_cast<size_t>(nl - start) : avail;
        if (size > 0 && kept < size - 1) {
            size_t room = size - 1 - kept;
            size_t copy = take < room ? take : room;
            std::memcpy(line + kept, start, copy);
            kept += copy;
        }
        lr->pos += take;
        if (nl) {
            lr->pos++;  // the '\n' itself
            break;
        }
    }
    if (size > 0) line[kept] = '\0';
    return any ? static_cast<long>(kept) : -1;
}
