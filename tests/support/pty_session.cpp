#include "support/pty_session.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/tmpdir.hpp"

extern char **environ;

static double now_secs()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

PtySession::~PtySession()
{
    if (pid > 0 && status == -1) {
        // Our own session: its group holds the started program and anything it ran.
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    if (master >= 0) ::close(master);
}

bool PtySession::start(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    // Everything exec needs is built before the fork.
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (char **e = environ; *e; e++) {
        // A variable given in env replaces the inherited one of that name.
        std::string_view name(*e);
        name = name.substr(0, name.find('='));
        bool replaced = false;
        for (const std::string &o : env) replaced = replaced || o.compare(0, name.size() + 1, std::string(name) + "=") == 0;
        if (!replaced) envp.push_back(*e);
    }
    for (const std::string &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    winsize ws{};
    ws.ws_row = 40;
    ws.ws_col = 132;
    pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) return false;
    if (pid == 0) {
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    const char *name = ptsname(master);
    slave = name ? name : "";
    return true;
}

void PtySession::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t w = ::write(master, bytes.data(), bytes.size());
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(w));
    }
}

// One poll and read; false once the terminal has no writer left (EIO) or on error.
static bool read_once(int fd, std::string &out, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r < 0) return errno == EINTR;
    if (r == 0) return true;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

void PtySession::pump(double secs)
{
    double end = now_secs() + secs;
    for (double left = secs; left > 0; left = end - now_secs())
        if (!read_once(master, out, static_cast<int>(left * 1000) + 1)) {
            if (end - now_secs() > 0) ::usleep(static_cast<useconds_t>((end - now_secs()) * 1e6));
            return;
        }
}

bool PtySession::wait_for(std::string_view text, size_t from, double secs)
{
    double end = now_secs() + secs;
    for (;;) {
        size_t start = from < out.size() ? from : out.size();
        if (out.find(text, start) != std::string::npos) return true;
        double left = end - now_secs();
        if (left <= 0) return false;
        if (!read_once(master, out, static_cast<int>(left * 1000) + 1))
            return out.find(text, start) != std::string::npos;
    }
}

bool PtySession::wait_exit(double secs)
{
    double end = now_secs() + secs;
    bool open = true;
    while (status == -1) {
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == pid) {
            status = st;
            break;
        }
        if (now_secs() >= end) return false;
        if (open) open = read_once(master, out, 20);
        else ::usleep(20000);
    }
    // The program is gone; take what it left in the terminal.
    while (open && read_once(master, out, 100)) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) break;
    }
    return true;
}

std::string stty_of(const std::string &dev)
{
    std::string cmd = "stty -a -F '" + dev + "' 2>&1";
    std::string text;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) return text;
    char buf[1024];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    pclose(f);
    return text;
}

pid_t find_child(pid_t parent, std::string_view comm)
{
    DIR *d = opendir("/proc");
    if (!d) return -1;
    pid_t found = -1;
    while (dirent *e = readdir(d)) {
        char *endp;
        long p = std::strtol(e->d_name, &endp, 10);
        if (*endp != '\0' || p <= 0) continue;
        // "pid (comm) state ppid ...": comm may hold spaces or parentheses.
        std::string st = read_whole_file(std::string("/proc/") + e->d_name + "/stat");
        size_t open = st.find('('), close = st.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        if (std::string_view(st).substr(open + 1, close - open - 1) != comm) continue;
        int ppid = -1;
        if (std::sscanf(st.c_str() + close + 1, " %*c %d", &ppid) == 1 && ppid == parent) {
            found = static_cast<pid_t>(p);
            break;
        }
    }
    closedir(d);
    return found;
}

size_t count_of(std::string_view hay, std::string_view needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + needle.size())) n++;
    return n;
}
