#include "core/run_tool.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

ToolRun::~ToolRun() { tool_close(this); }

static long long mono_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int tool_start(ToolRun *t, const char *const argv[])
{
    tool_close(t);
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return -1;
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(p[0]);
        ::close(p[1]);
        return -1;
    }
    if (pid == 0) {
        // A group of its own, so giving up on a stalled tool also ends whatever
        // the tool started (a wrapper script's children).
        ::setpgid(0, 0);
        // The monitor ignores SIGPIPE and may block signals; the tool gets the
        // defaults, so an early close of the pipe ends it as it would a shell pipe.
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // dup2 onto itself would keep close-on-exec and leave the tool no stdout.
        if (p[1] == 1)
            ::fcntl(1, F_SETFD, 0);
        else
            ::dup2(p[1], 1);
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            if (null != 0) ::dup2(null, 0);
            if (null != 2) ::dup2(null, 2);
            if (null > 2) ::close(null);  // the tool gets 0, 1 and 2 only
        }
        ::execvp(argv[0], const_cast<char *const *>(argv));
        ::_exit(127);
    }
    ::setpgid(pid, pid);  // also here, so a kill can never miss the group
    ::close(p[1]);
    t->pid = pid;
    t->deadline_ms = mono_ms() + TOOL_RUN_BUDGET_MS;
    lr_init(&t->lr, p[0], TOOL_READ_TIMEOUT_MS);
    return 0;
}

long tool_getline(ToolRun *t, char *line, size_t size)
{
    if (t->pid < 0 || mono_ms() > t->deadline_ms) return -1;
    return lr_getline(&t->lr, line, size);
}

int tool_close(ToolRun *t)
{
    if (t->lr.fd >= 0) {
        ::close(t->lr.fd);
        lr_init(&t->lr, -1);
    }
    if (t->pid < 0) return -1;
    int status = 0;
    long slept_us = 0, step = 50;
    for (;;) {
        pid_t r = ::waitpid(t->pid, &status, WNOHANG);
        if (r == t->pid || (r < 0 && errno != EINTR)) break;
        if (r == 0 && slept_us >= 1000000) {
            // A tool that neither exits nor writes must not outlive the sample,
            // nor may anything it started.
            ::kill(-t->pid, SIGKILL);
            ::kill(t->pid, SIGKILL);
            while (::waitpid(t->pid, &status, 0) < 0 && errno == EINTR) {}
            break;
        }
        timespec ts{0, step * 1000};
        ::nanosleep(&ts, nullptr);
        slept_us += step;
        if (step < 20000) step *= 2;
    }
    t->pid = -1;
    return status;
}
