#include "hardening/hardening_rig.hpp"

#include <dirent.h>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

int wait_exit(pid_t pid, double secs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(secs);
    do {
        int st;
        if (::waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return -1;
}

size_t paints(const std::string &out, size_t from)
{
    size_t n = 0;
    for (size_t p = out.find("   interval=", from); p != std::string::npos; p = out.find("   interval=", p + 1)) n++;
    return n;
}

ProcView proc_view(pid_t pid)
{
    ProcView v;
    std::string base = "/proc/" + std::to_string(pid);
    if (DIR *d = ::opendir((base + "/fd").c_str())) {
        v.fds = 0;
        char to[16];
        while (const dirent *e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            ssize_t n = ::readlinkat(::dirfd(d), e->d_name, to, sizeof to);
            if (n >= 5 && std::string(to, 5) == "/sys/")
                v.sysfs_fds++;
            else
                v.fds++;
        }
        ::closedir(d);
        v.fds--;  // the listing's own descriptor
    }
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) v.rss_kib = std::stol(line.substr(6));
    if (DIR *d = ::opendir("/proc")) {
        while (const dirent *e = ::readdir(d)) {
            std::ifstream st(std::string("/proc/") + e->d_name + "/stat");
            std::string s;
            if (!std::getline(st, s)) continue;
            size_t rp = s.rfind(')');
            if (rp == std::string::npos || rp + 4 > s.size()) continue;
            char state = s[rp + 2];
            long ppid = std::strtol(s.c_str() + rp + 4, nullptr, 10);
            if (ppid != pid) continue;
            if (state == 'Z')
                v.zombies++;
            else
                v.children++;
        }
        ::closedir(d);
    }
    return v;
}

bool drop_link(const NetnsGuard &ns, const std::string &dev, int net)
{
    const std::string n = std::to_string(net);
    return ns.run("sh -c 'ip link add " + dev + " type veth peer name p" + dev + " && ip link set p" + dev +
                  " mtu 1280 up && ip link set " + dev + " up && ip addr add 10." + n + ".0.1/24 dev " + dev +
                  " && ip neigh add 10." + n + ".0.2 lladdr 02:00:00:00:00:02 dev " + dev + "'") == 0;
}

void drop_datagrams(const NetnsGuard &ns, int net, int n)
{
    ns.run("python3 -c 'import socket\ns=socket.socket(2,2)\ns.setsockopt(0,10,0)\nfor i in range(" +
           std::to_string(n) + "): s.sendto(b\"x\"*1400,(\"10." + std::to_string(net) + ".0.2\",9))'");
}

bool wait_for(const std::string &cond, double secs)
{
    for (int i = 0; i < secs * 20; i++) {
        if (sh(cond) == 0) return true;
        ::usleep(50000);
    }
    return false;
}
