#include "support/pty_session.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

// Appends what arrives within ms; false on timeout or once no writer is left.
static bool read_some(int fd, std::string &out, int ms)
{
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    ssize_t n = ::poll(&p, 1, ms) > 0 ? ::read(fd, buf, sizeof buf) : 0;
    if (n > 0) out.append(buf, static_cast<size_t>(n));
    return n > 0;
}

PtySession::~PtySession()
{
    if (pid <= 0) return;
    // The session's own group, and a job its shell put in the foreground.
    pid_t job = tcgetpgrp(master);
    if (job > 0) ::kill(-job, SIGKILL);
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(master);
}

bool PtySession::start(std::vector<const char *> argv)
{
    argv.push_back(nullptr);
    pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execv(argv[0], const_cast<char *const *>(argv.data()));
        ::_exit(127);
    }
    if (pid < 0) return false;
    if (const char *name = ptsname(master)) slave = name;
    return true;
}

bool PtySession::write(std::string_view bytes)
{
    // What the program wrote before these bytes is no answer to them.
    while (read_some(master, out, 0))
        continue;
    sent_at = out.size();
    return ::write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool PtySession::read_until(std::string_view text, double secs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(secs);
    while (out.find(text, sent_at) == std::string::npos) {
        auto left = std::chrono::duration<double, std::milli>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !read_some(master, out, static_cast<int>(left) + 1)) return false;
    }
    return true;
}
