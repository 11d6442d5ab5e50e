#include "core/run_tool.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/alerts.hpp"
#include "core/child_groups.hpp"

ToolRun::~ToolRun() { tool_close(this); }

constexpr int MAX_TIMED_OUT = 8;
static bool g_in_sample = false;
static long long g_sample_deadline_ms = 0;
static char g_timed_out[MAX_TIMED_OUT][16];
static int g_n_timed_out = 0;

static bool timed_out_before(const char *name)
{
    for (int i = 0; i < g_n_timed_out; i++)
        if (std::strcmp(g_timed_out[i], name) == 0) return true;
    return false;
}

static void mark_timed_out(ToolRun *t)
{
    t->timed_out = true;
    if (!g_in_sample || timed_out_before(t->name) || g_n_timed_out >= MAX_TIMED_OUT) return;
    std::snprintf(g_timed_out[g_n_timed_out++], sizeof g_timed_out[0], "%s", t->name);
}

int g_tool_key_fd = -1;
static KeyInputFn g_key_fn = nullptr;
static bool g_given_up = false;

void tool_watch_keys(int fd, KeyInputFn on_input)
{
    g_tool_key_fd = on_input ? fd : -1;
    g_key_fn = on_input;
}

bool tool_keys_ready()
{
    if (!g_given_up && g_key_fn && !g_key_fn()) g_given_up = true;
    return !g_given_up;
}

bool tool_sample_given_up() { return g_given_up; }

void tool_sample_begin(int budget_ms)
{
    g_in_sample = true;
    g_given_up = false;
    g_sample_deadline_ms = mono_ms() + budget_ms;
    g_n_timed_out = 0;
}

void tool_sample_end()
{
    for (int i = 0; i < g_n_timed_out; i++) alert("%s timed out", g_timed_out[i]);
    g_in_sample = false;
    g_given_up = false;
    g_n_timed_out = 0;
}

int tool_start(ToolRun *t, const char *const argv[], const char *name)
{
    tool_close(t);
    t->timed_out = false;
    t->awaited = false;
    if (!name) {
        const char *slash = std::strrchr(argv[0], '/');
        name = slash ? slash + 1 : argv[0];
    }
    std::snprintf(t->name, sizeof t->name, "%s", name);
    long long now = mono_ms();
    if (g_given_up) {
        t->timed_out = true;
        return -1;
    }
    if (g_in_sample && (now >= g_sample_deadline_ms || timed_out_before(t->name))) {
        mark_timed_out(t);
        return -1;
    }
    // Without /dev/null the tool would get the monitor's terminal as its input.
    int null = dev_null_fd();
    if (null < 0) return -1;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return -1;
    p[0] = fd_above_stdio(p[0]);
    p[1] = fd_above_stdio(p[1]);
    if (p[0] < 0 || p[1] < 0) {
        for (int fd : {p[0], p[1]})
            if (fd >= 0) ::close(fd);
        return -1;
    }
    pid_t pid = child_spawn(argv, p[1], null);
    ::close(p[1]);
    if (pid < 0) {
        ::close(p[0]);
        return -1;
    }
    t->pid = pid;
    t->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    long long deadline = now + TOOL_RUN_BUDGET_MS;
    if (g_in_sample && g_sample_deadline_ms < deadline) deadline = g_sample_deadline_ms;
    lr_init(&t->lr, p[0], TOOL_READ_TIMEOUT_MS);
    t->lr.deadline_ms = deadline;
    t->lr.done_fd = t->pidfd;
    t->lr.wake_fd = &g_tool_key_fd;
    t->lr.on_wake = tool_keys_ready;
    return 0;
}

long tool_getline(ToolRun *t, char *line, size_t size)
{
    if (t->pid < 0) return -1;
    if (!t->awaited) {
        // A tool like tc writes its few lines as it exits: waiting for its end
        // first (the pipe holds 64 KiB) saves a wake-up for the output and
        // another for the end, on every run. A tool that writes more than the
        // pipe holds, or runs longer, is read as it writes after this wait.
        t->awaited = true;
        long long left = t->lr.deadline_ms - mono_ms();
        if (t->pidfd >= 0 && left > 0) {
            pollfd p[2] = {{t->pidfd, POLLIN, 0}, {g_tool_key_fd, POLLIN, 0}};
            ::poll(p, 2, static_cast<int>(left < TOOL_FIRST_WAIT_MS ? left : TOOL_FIRST_WAIT_MS));
            if (p[1].revents != 0 && !tool_keys_ready()) t->lr.eof = t->lr.timed_out = true;
        }
    }
    long n = lr_getline(&t->lr, line, size);
    if (t->lr.timed_out && !t->timed_out) mark_timed_out(t);
    return n;
}

// Whether the tool has exited, without reaping it: while it is unreaped its
// process id, and so its group's id, cannot be handed to anyone else.
static bool tool_exited(pid_t pid)
{
    for (;;) {
        siginfo_t si{};
        int r = ::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT);
        if (r < 0 && errno == EINTR) continue;
        return r < 0 || si.si_pid == pid;
    }
}

static bool wait_exit(const ToolRun *t, long long ms)
{
    long long until = mono_ms() + ms;
    for (;;) {
        if (tool_exited(t->pid)) return true;
        long long left = until - mono_ms();
        if (left <= 0 || g_given_up) return false;
        if (left > 10 && t->pidfd < 0) left = 10;  // no pidfd: look again every 10 ms
        pollfd p[2] = {{t->pidfd, POLLIN, 0}, {g_tool_key_fd, POLLIN, 0}};
        ::poll(p, 2, static_cast<int>(left));
        if (p[1].revents != 0) tool_keys_ready();
    }
}

int tool_close(ToolRun *t)
{
    if (t->lr.fd >= 0) {
        ::close(t->lr.fd);
        lr_init(&t->lr, -1);
    }
    if (t->pid < 0) return -1;
    if (!t->timed_out && !g_given_up) {
        long long grace = TOOL_EXIT_GRACE_MS;
        if (g_in_sample && g_sample_deadline_ms - mono_ms() < grace) grace = g_sample_deadline_ms - mono_ms();
        if (!wait_exit(t, grace)) mark_timed_out(t);
    }
    // Whatever the tool started goes with it, whether the tool ended or not.
    if (::kill(-t->pid, SIGKILL) != 0) ::kill(t->pid, SIGKILL);
    int status = 0;
    while (::waitpid(t->pid, &status, 0) < 0 && errno == EINTR) {}
    child_group_remove(t->pid);
    if (t->pidfd >= 0) ::close(t->pidfd);
    t->pidfd = -1;
    t->pid = -1;
    return status;
}
