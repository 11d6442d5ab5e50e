#include "core/screen.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "burst/burst_state.hpp"
#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/settings.hpp"

StrBuf PAGES[N_PAGES];
const char *const PG_NAMES[N_PAGES] = {"Overview", "Interfaces", "BurstCatch", "Moatwall"};
int32_t g_page = 0;
time_t g_last_ts = 0;
int32_t g_output_lost = 0;

// errno is cleared before the first write of a screen, so a failed write in the
// middle of it (stdio flushes a full buffer by itself) is still seen here.
static void screen_flush()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (errno == EPIPE || errno == EIO || errno == EBADF) g_output_lost = 1;
        std::clearerr(stdout);
    }
}

void buffers_setup()
{
    for (StrBuf &p : PAGES)
        if (!p.buf) sb_init(&p, 65536);
    if (!ALERTS.buf) sb_init(&ALERTS, 65536);
}

static void format_sample_time(char out[64])
{
    struct tm tmv;
    time_t t = g_last_ts;
    out[0] = '\0';
    if (localtime_r(&t, &tmv)) std::strftime(out, 64, "%a %b %e %H:%M:%S %Y", &tmv);
}

static void print_alert_line()
{
    if (n_alerts == 0)
        std::printf("%sAll quiet.%s\n", GRN, RST);
    else
        std::printf("%s%s!! ACTIVE: %s%s\n", RED, BOLD, ALERTS.buf ? ALERTS.buf : "", RST);
}

void paint()
{
    char when[64];
    format_sample_time(when);
    errno = 0;
    if (g_clear) std::fputs("\x1b[H\x1b[2J\x1b[3J", stdout);
    std::printf("%s%s   interval=%ds   (red = incremented this interval)%s\n", BOLD, when, g_interval, RST);
    std::fputc(' ', stdout);
    for (int i = 0; i < N_PAGES; i++)
        std::printf("%s[%d:%s]%s ", i == g_page ? BOLD : DIM, i + 1, PG_NAMES[i], RST);
    std::printf("%s keys: 1-4/n/p page  b=arm burst  q=quit%s", DIM, RST);
    if (g_burst_state == 1) std::printf("  %s[CAPTURING]%s", RED, RST);
    std::fputc('\n', stdout);
    print_alert_line();
    const StrBuf &pg = PAGES[g_page >= 0 && g_page < N_PAGES ? g_page : 0];
    std::printf("\n%s", pg.buf ? pg.buf : "");
    screen_flush();
}

void print_once_report()
{
    char when[64];
    format_sample_time(when);
    errno = 0;
    std::printf("%s%s%s\n", BOLD, when, RST);
    print_alert_line();
    for (int p = 1; p <= N_PAGES; p++) {
        std::printf("\n%s########## PAGE %d: %s ##########%s\n\n", BOLD, p, PG_NAMES[p - 1], RST);
        std::fputs(PAGES[p - 1].buf ? PAGES[p - 1].buf : "", stdout);
    }
    screen_flush();
}

void write_str(const char *path, const char *text)
{
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t r = ::write(fd, text, std::strlen(text));
    (void)r;
    ::close(fd);
}
