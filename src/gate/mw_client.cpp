#include "gate/mw_client.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "core/run_tool.hpp"
#include "core/vis_text.hpp"
#include "moatwall/moatwall_contract.h"

int g_mwc = -1;
int g_mw_daemon_ok = 0;
char g_mw_gif[16] = "?";
int g_mw_att = 0;
char g_mw_attmode[16] = "-";
char g_mw_gate[8][16];
int g_mw_ngate = 0;
char g_mw_msg[160];
int g_mw_nskipped = 0;
// Set once a request went out on the connection: only then can bytes of an
// earlier reply still be on it.
static bool g_mw_used = false;

static char g_sock_path[108];
static char g_pin_dir[256];

static void paths_init()
{
    if (g_sock_path[0]) return;
    const char *s = std::getenv("TARNWATCH_TEST_MW_SOCK");
    const char *p = std::getenv("TARNWATCH_TEST_MW_PINS");
    mw_paths_set(s && *s ? s : MW_SOCK_PATH, p && *p ? p : MW_PIN_DIR);
}

void mw_paths_set(const char *sock, const char *pindir)
{
    std::snprintf(g_sock_path, sizeof g_sock_path, "%s", sock);
    std::snprintf(g_pin_dir, sizeof g_pin_dir, "%s", pindir);
}

const char *mw_sock_path()
{
    paths_init();
    return g_sock_path;
}

const char *mw_pin_dir()
{
    paths_init();
    return g_pin_dir;
}

void mw_msgf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(g_mw_msg, sizeof g_mw_msg, fmt, ap);
    va_end(ap);
    // Daemon reasons land here: no control byte may reach the terminal.
    vis_inplace(g_mw_msg);
}

void mw_drop_conn()
{
    if (g_mwc >= 0) ::close(g_mwc);
    g_mwc = -1;
    g_mw_daemon_ok = 0;
    g_mw_used = false;
}

static timespec deadline_after(int ms)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    long ns = t.tv_nsec + (ms % 1000) * 1000000L;
    t.tv_sec += ms / 1000 + ns / 1000000000L;
    t.tv_nsec = ns % 1000000000L;
    return t;
}

static int ms_left(const timespec &deadline)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
    return ms > 0 ? static_cast<int>(ms) : 0;
}

// A Unix connect to a daemon whose listen backlog is full waits up to the send
// time-out, so that is set to what is left of the exchange.
static int connect_within(int ms)
{
    if (g_mwc >= 0) return 0;
    if (ms <= 0) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", mw_sock_path());
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    g_mwc = fd;
    return 0;
}

int mw_connect() { return connect_within(MW_EXCHANGE_MS); }

// One send of the whole line; a daemon that went away gives EPIPE, not SIGPIPE.
static bool send_line(const char *line, size_t n)
{
    ssize_t w = ::send(g_mwc, line, n, MSG_NOSIGNAL);
    return w == static_cast<ssize_t>(n);
}

// Bytes (or the end of the stream) waiting before a request was sent belong to
// an earlier reply that went on past its final line, and may not be over yet:
// only a new connection is sure to start in step.
static bool stale_input()
{
    pollfd p{g_mwc, POLLIN, 0};
    return ::poll(&p, 1, 0) != 0;
}

static int send_request(const char *cmd, const timespec &deadline)
{
    if (g_mwc >= 0 && g_mw_used && stale_input()) mw_drop_conn();
    if (connect_within(ms_left(deadline)) != 0) return -2;

    char line[64];
    int n = std::snprintf(line, sizeof line, "%s\n", cmd);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) n = static_cast<int>(sizeof line) - 1;
    if (!send_line(line, static_cast<size_t>(n))) {
        mw_drop_conn();
        if (connect_within(ms_left(deadline)) != 0 || !send_line(line, static_cast<size_t>(n))) {
            mw_drop_conn();
            return -2;
        }
    }
    g_mw_used = true;
    return 0;
}

// Waits for more of the reply; false when the exchange's time is up first. Keys
// typed meanwhile are handed on (see tool_watch_keys), and a sample given up
// ends the wait.
static bool await_reply(const timespec &deadline)
{
    for (;;) {
        int left = ms_left(deadline);
        if (left <= 0 || tool_sample_given_up()) return false;
        pollfd p[2] = {{g_mwc, POLLIN, 0}, {g_tool_key_fd, POLLIN, 0}};
        int pr = ::poll(p, 2, left);
        if (pr < 0 && errno != EINTR) return false;
        if (pr > 0 && p[1].revents != 0 && !tool_keys_ready()) return false;
        if (pr > 0 && p[0].revents != 0) return true;
    }
}

int mw_req(const char *cmd, char *reply, size_t size)
{
    static char rb[4096];
    if (size > 0) reply[0] = '\0';
    g_mw_nskipped = 0;
    const timespec deadline = deadline_after(MW_EXCHANGE_MS);
    if (send_request(cmd, deadline) != 0) return -2;

    size_t start = 0, held = 0, rlen = 0;  // rb[start, start + held) not yet taken apart
    for (;;) {
        char *nl;
        while ((nl = static_cast<char *>(std::memchr(rb + start, '\n', held))) != nullptr) {
            char *ln = rb + start;
            size_t llen = static_cast<size_t>(nl - ln);
            *nl = '\0';
            start += llen + 1;
            held -= llen + 1;
            if (llen >= 2 && ln[0] == 'O' && ln[1] == 'K') return 0;
            if (llen >= 3 && std::strncmp(ln, "ERR", 3) == 0) {
                mw_msgf("%s", llen > 3 && ln[3] == ' ' ? ln + 4 : ln);
                return -1;
            }
            if (rlen + llen + 2 < size) {
                std::memcpy(reply + rlen, ln, llen);
                rlen += llen;
                reply[rlen++] = '\n';
                reply[rlen] = '\0';
            } else {
                g_mw_nskipped++;
            }
        }
        // Checked before every wait, so a daemon that streams lines without
        // end cannot hold the exchange either.
        if (!await_reply(deadline)) {
            mw_drop_conn();
            return -2;
        }
        if (start > 0) {
            std::memmove(rb, rb + start, held);
            start = 0;
        }
        ssize_t r;
        do r = ::read(g_mwc, rb + held, 4095 - held);
        while (r < 0 && errno == EINTR);
        if (r <= 0) {
            mw_drop_conn();
            return -2;
        }
        held += static_cast<size_t>(r);
        if (held >= 4095) {
            mw_drop_conn();
            return -2;
        }
    }
}

// Room the " (+N more)" ending takes.
static int more_room(int more) { return more > 0 ? std::snprintf(nullptr, 0, " (+%d more)", more) : 0; }

void mw_msg_done(const char *done, const char *reply)
{
    char m[sizeof g_mw_msg];
    const int cap = static_cast<int>(sizeof m) - 1;
    int total = g_mw_nskipped;
    for (const char *s = reply; (s = std::strchr(s, '\n')) != nullptr; s++) total++;
    int len = std::min(std::snprintf(m, sizeof m, "%s", done), cap);
    int shown = 0;
    for (const char *ln = reply; shown < total && *ln; shown++) {
        const char *nl = std::strchr(ln, '\n');
        int n = nl ? static_cast<int>(nl - ln) : static_cast<int>(std::strlen(ln));
        const char *sep = shown ? "; " : " - ";
        int room = cap - len - static_cast<int>(std::strlen(sep)) - more_room(total - shown - 1);
        if (n > room) {
            // A first note too long for the line is cut to it; later ones are only counted.
            if (shown > 0 || room < 16) break;
            n = room;
        }
        len += std::snprintf(m + len, sizeof m - static_cast<size_t>(len), "%s%.*s", sep, n, ln);
        ln = nl ? nl + 1 : ln + std::strlen(ln);
    }
    if (shown < total && len < cap) std::snprintf(m + len, sizeof m - static_cast<size_t>(len), " (+%d more)", total - shown);
    mw_msgf("%s", m);
}

// Outside words are cut to the field and made safe to show.
static void copy_word(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    vis_inplace(dst);
}

void mw_refresh_status()
{
    static char reply[1024];
    g_mw_ngate = 0;
    int r = mw_req("status", reply, sizeof reply);
    g_mw_daemon_ok = r == -2 ? 0 : 1;
    if (r != 0) return;
    char *save = nullptr;
    for (char *ln = strtok_r(reply, "\n", &save); ln; ln = strtok_r(nullptr, "\n", &save)) {
        char w1[64], w2[32];
        int num;
        if (std::sscanf(ln, "iface %63s", w1) == 1) {
            copy_word(g_mw_gif, sizeof g_mw_gif, w1);
        } else if (std::sscanf(ln, "attached %d %31s", &num, w2) == 2) {
            g_mw_att = num;
            copy_word(g_mw_attmode, sizeof g_mw_attmode, w2);
        } else if (std::sscanf(ln, "gate %63s %31s", w1, w2) == 2) {
            if (g_mw_ngate < 8) copy_word(g_mw_gate[g_mw_ngate++], sizeof g_mw_gate[0], w1);
        }
    }
}
