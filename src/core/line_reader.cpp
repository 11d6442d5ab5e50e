#include "core/line_reader.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <time.h>
#include <unistd.h>

long long mono_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

double mono_secs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void lr_init(LineReader *lr, int fd, int timeout_ms)
{
    lr->fd = fd;
    lr->timeout_ms = timeout_ms;
    lr->deadline_ms = 0;
    lr->done_fd = -1;
    lr->wake_fd = nullptr;
    lr->on_wake = nullptr;
    lr->pos = lr->end = 0;
    lr->eof = fd < 0;
    lr->timed_out = false;
}

static bool lr_stop(LineReader *lr, bool timed_out)
{
    lr->eof = true;
    lr->timed_out = timed_out;
    return false;
}

// Refills the buffer; false at end of input, on a read error or when time is up.
static bool lr_fill(LineReader *lr)
{
    if (lr->eof) return false;
    // A wake-up for the other descriptor is no pause of the writer's.
    const long long stall_at = lr->timeout_ms >= 0 ? mono_ms() + lr->timeout_ms : 0;
    for (;;) {
        if (lr->timeout_ms >= 0 || lr->deadline_ms > 0) {
            long long now = mono_ms();
            long long wait = lr->timeout_ms >= 0 ? (stall_at > now ? stall_at - now : 0) : -1;
            if (lr->deadline_ms > 0) {
                // Checked before every read, so a writer that never pauses (and
                // never ends its line) is still cut off in time.
                long long left = lr->deadline_ms - now;
                if (left <= 0) return lr_stop(lr, true);
                if (wait < 0 || left < wait) wait = left;
            }
            const int wake = lr->wake_fd && lr->on_wake ? *lr->wake_fd : -1;
            pollfd p[3] = {{lr->fd, POLLIN, 0}, {lr->done_fd, POLLIN, 0}, {wake, POLLIN, 0}};
            int r = ::poll(p, 3, static_cast<int>(wait));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return lr_stop(lr, false);
            if (r == 0) return lr_stop(lr, true);  // a stalled writer ends the input, not the sample
            if (p[2].revents != 0) {
                if (!lr->on_wake()) return lr_stop(lr, true);
                if (p[0].revents == 0 && p[1].revents == 0) continue;
            }
            // The writer has ended and nothing is left to read: whatever still holds
            // the pipe open (a child it left behind) writes no part of its output.
            if (p[0].revents == 0) return lr_stop(lr, false);
        }
        ssize_t n = ::read(lr->fd, lr->buf, sizeof lr->buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return lr_stop(lr, false);
        lr->pos = 0;
        lr->end = static_cast<size_t>(n);
        return true;
    }
}

long lr_getline(LineReader *lr, char *line, size_t size)
{
    size_t kept = 0;
    bool any = false, ended = false;
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
            ended = true;
            break;
        }
    }
    if (size > 0) line[kept] = '\0';
    if (!ended && lr->timed_out) {
        if (size > 0) line[0] = '\0';
        return -1;
    }
    return any ? static_cast<long>(kept) : -1;
}
