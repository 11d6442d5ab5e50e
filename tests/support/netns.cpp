#include "support/netns.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

int sh(const std::string &cmd)
{
    int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string sh_out(const std::string &cmd)
{
    std::string out;
    FILE *p = ::popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (p) ::pclose(p);
    return out;
}

bool wait_for(const std::string &cond, double secs)
{
    for (int i = 0; i < secs * 20; i++, ::usleep(50000))
        if (sh(cond) == 0) return true;
    return false;
}

bool netns_available()
{
    if (geteuid() != 0) return false;
    NetnsGuard probe("twprobe");
    return sh("ip netns exec " + probe.name + " true >/dev/null 2>&1") == 0;
}

static std::atomic<int> g_ns_seq{0};

NetnsGuard::NetnsGuard(const std::string &base)
{
    name = base + "_" + std::to_string(getpid()) + "_" + std::to_string(g_ns_seq++);
    sh("ip netns del " + name + " >/dev/null 2>&1");
    sh("ip netns add " + name + " >/dev/null 2>&1");
    run("ip link set lo up");
}

NetnsGuard::~NetnsGuard() { sh("ip netns del " + name + " >/dev/null 2>&1"); }

int NetnsGuard::run(const std::string &cmd) const { return sh("ip netns exec " + name + " " + cmd); }

std::string NetnsGuard::out(const std::string &cmd) const { return sh_out("ip netns exec " + name + " " + cmd); }

std::string in_netns(const std::string &ns, const std::function<std::string()> &fn)
{
    int p[2];
    if (pipe(p) != 0) return "!error: pipe";
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return "!error: fork";
    if (pid == 0) {
        close(p[0]);
        // The namespace's own /sys, so /sys/class/net is its interfaces.
        const int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY);
        const bool in = fd >= 0 && setns(fd, CLONE_NEWNET) == 0 && unshare(CLONE_NEWNS) == 0 &&
                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        (umount2("/sys", MNT_DETACH), mount("sysfs", "/sys", "sysfs", 0, nullptr) == 0);
        const std::string r = in ? fn() : "!error: entering " + ns;
        (void)!write(p[1], r.data(), r.size());  // a blocking pipe takes it all
        _exit(in ? 0 : 1);
    }
    close(p[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? out : "!error: child died " + out;
}

bool tracefs_ready()
{
    const std::string trig = "test -w /sys/kernel/tracing/events/skb/kfree_skb/trigger";
    return sh(trig + " || mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null") == 0 && sh(trig) == 0;
}
