#include "core/self_check.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/bpf.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/fsroot.hpp"
#include "core/kernel_file.hpp"
#include "core/settings.hpp"
#include "core/unique_fd.hpp"
#include "core/vis_text.hpp"
#include "moatwall/moatwall_contract.h"
#include "gate/mw_client.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "overview/birdc_neighbors.hpp"
#include "topology/iface_names.hpp"
#include "topology/ifaces.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

extern char **environ;

int32_t g_check = 0;

namespace {

using Clock = std::chrono::steady_clock;

enum Status { OK, NOTE, FAIL };

struct Check {
    FILE *out;
    int fails = 0;
    Clock::time_point deadline;
};

int ms_left(const Check &c)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, CHECK_TOOL_MS));
}

void line(Check *c, Status st, const char *source, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
void line(Check *c, Status st, const char *source, const char *fmt, ...)
{
    static const char *const WORD[] = {"ok", "--", "FAIL"};
    if (st == FAIL) c->fails++;
    char detail[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(detail, sizeof detail, fmt, ap);
    va_end(ap);
    std::fprintf(c->out, "%-4s %-24s %s\n", WORD[st], source, detail);
}

bool readable(const char *kpath, char *why, size_t n)
{
    char path[512];
    if (fs_path(path, sizeof path, "%s", kpath) != 0) {
        std::snprintf(why, n, "path too long");
        return false;
    }
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    char b[64];
    if (fd.fd < 0 || ::read(fd.fd, b, sizeof b) < 0) {
        std::snprintf(why, n, "%s", std::strerror(errno));
        return false;
    }
    return true;
}

void kernel_files(Check *c)
{
    struct KFile {
        const char *path, *needed_by;
    };
    static constexpr KFile FILES[] = {
        {"/proc/net/snmp", "IP, ICMP and UDP counters of page 1"},
        {"/proc/net/netstat", "IpExt and TcpExt counters of page 1"},
        {"/proc/net/snmp6", "IPv6 counters of page 1 (IPv6 disabled?)"},
        {"/proc/net/softnet_stat", "softnet drops and squeezes"},
        {"/proc/sys/net/netfilter/nf_conntrack_count", "conntrack fill: load it with modprobe nf_conntrack"},
        {"/proc/sys/net/netfilter/nf_conntrack_max", "conntrack fill: load it with modprobe nf_conntrack"},
        {"/sys/devices/system/cpu/possible", "the gate's per-CPU counters"},
    };
    char why[128];
    for (const KFile &f : FILES) {
        if (readable(f.path, why, sizeof why))
            line(c, OK, f.path, "readable");
        else
            line(c, FAIL, f.path, "%s; needed for the %s", why, f.needed_by);
    }
}

void sysfs_and_nics(Check *c)
{
    char dir[256];
    DIR *d = fs_path(dir, sizeof dir, "/sys/class/net") == 0 ? ::opendir(dir) : nullptr;
    if (d) {
        ::closedir(d);
        line(c, OK, "/sys/class/net", "readable");
    } else {
        line(c, FAIL, "/sys/class/net", "%s; no interface can be watched (is /sys mounted?)", std::strerror(errno));
    }

    struct Nic {
        const char *role, *name, *opt;
    };
    const Nic nics[] = {{"wan", g_wan, "-w"}, {"lan", g_lan, "-l"}};
    char here[400];
    list_interfaces(here, sizeof here);
    for (const Nic &n : nics) {
        char src[40];
        std::snprintf(src, sizeof src, "%s %.15s", n.role, vis_ifname(n.name).s);
        if (!if_exists(n.name)) {
            line(c, FAIL, src, "no such interface; here: %s; name yours with %s IF", here[0] ? here : "(none)", n.opt);
            continue;
        }
        char state[16] = "";
        char path[256];
        if (fs_path(path, sizeof path, "/sys/class/net/%s/operstate", n.name) == 0) {
            UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
            ssize_t r = fd.fd >= 0 ? ::read(fd.fd, state, sizeof state - 1) : -1;
            state[r > 0 ? r : 0] = '\0';
            state[std::strcspn(state, "\n")] = '\0';
        }
        line(c, OK, src, "present, operstate %s", state[0] ? vis_ifname(state).s : "unknown");
    }

    // The same requests page 2 makes at discovery; they only read.
    for (int i = 0; i < 2; i++) {
        const Nic &n = nics[i];
        if (!if_exists(n.name) || (i == 1 && std::strcmp(g_wan, g_lan) == 0)) continue;
        char src[40];
        std::snprintf(src, sizeof src, "ethtool %.15s", vis_ifname(n.name).s);
        static EthDev dev;
        ethdev_discover(&dev, n.name);
        if (!dev.driver[0]) {
            line(c, FAIL, src, "the driver does not answer ethtool requests: no driver statistics or flags on page 2");
        } else {
            char flags[48];
            if (dev.pflags_ok)
                std::snprintf(flags, sizeof flags, "%u private flags", dev.n_pflags);
            else
                std::snprintf(flags, sizeof flags, "no private flags");
            line(c, OK, src, "driver %s, %u statistics (%d watched), %s", vis(dev.driver).s, dev.n_stats,
                 dev.n_watch, flags);
        }
        ethdev_release(&dev);
    }
}

void tools(Check *c)
{
    char out[4096];
    const char *const tc[] = {"tc", "qdisc", "show", "dev", "lo", nullptr};
    int st = check_run(tc, ms_left(*c), out, sizeof out);
    if (st == 0)
        line(c, OK, "tc", "answers");
    else if (st == 127)
        line(c, FAIL, "tc", "not on PATH: install iproute2; qdisc kinds and drops stay empty");
    else
        line(c, FAIL, "tc", "did not answer (%s); qdisc kinds and drops stay empty",
             st < 0 ? "no result in time" : "exit status not 0");

    const char *const td[] = {"tcpdump", "--version", nullptr};
    st = check_run(td, ms_left(*c), out, sizeof out);
    if (st == 0)
        line(c, OK, "tcpdump", "answers");
    else if (!g_burst_pcap)
        line(c, NOTE, "tcpdump", "not usable, and not needed with -P");
    else
        line(c, FAIL, "tcpdump", "%s: bursts are caught without packets; install tcpdump, or pass -P",
             st == 127 ? "not on PATH" : "does not answer");
}

void wireguard(Check *c)
{
    wg_discover();
    if (g_n_wgdevs == 0) {
        line(c, NOTE, "wg", "no WireGuard devices here, not needed");
        line(c, NOTE, "wireguard configs", "no WireGuard devices here, not needed");
        return;
    }
    char out[4096];
    const char *const argv[] = {"wg", "show", g_wgdevs[0], "dump", nullptr};
    int st = check_run(argv, ms_left(*c), out, sizeof out);
    char devs[160] = "";
    size_t len = 0;
    for (int32_t i = 0; i < g_n_wgdevs && len + 20 < sizeof devs; i++)
        len += static_cast<size_t>(
            std::snprintf(devs + len, sizeof devs - len, "%s%s", i ? " " : "", vis_ifname(g_wgdevs[i]).s));
    if (st == 0 && out[0])
        line(c, OK, "wg", "answers for %s", devs);
    else if (st == 127)
        line(c, FAIL, "wg", "not on PATH, WireGuard devices %s: install wireguard-tools", devs);
    else
        line(c, FAIL, "wg", "no peer list for %s (not root?): the peer sections stay empty", vis_ifname(g_wgdevs[0]).s);

    int with_conf = 0;
    for (int32_t i = 0; i < g_n_wgdevs; i++) {
        char path[512];
        std::snprintf(path, sizeof path, "%s/%s.conf", g_wgdir, g_wgdevs[i]);
        if (::access(path, R_OK) == 0) with_conf++;
    }
    char src[64];
    std::snprintf(src, sizeof src, "wireguard configs");
    if (with_conf == g_n_wgdevs)
        line(c, OK, src, "%s: %d peer names", vis(g_wgdir).s, g_n_peer_names);
    else
        line(c, NOTE, src, "%s holds %d of %d device configs: peers without a name show by key; -W DIR names the place",
             vis(g_wgdir).s, with_conf, g_n_wgdevs);
}

void bird(Check *c)
{
    load_ospf_expected(g_birdconf);
    bool conf = ::access(g_birdconf, R_OK) == 0;
    if (conf)
        line(c, OK, "bird config", "%s: %d expected neighbours", vis(g_birdconf).s, g_n_ospf_exp);
    else
        line(c, NOTE, "bird config", "%s not readable: no MISSING check; -b FILE names it", vis(g_birdconf).s);

    char out[8192];
    // As page 1 runs it: -B is a command line for the shell.
    const char *const probe[] = {"/bin/sh", "-c", "eval \"command -v $1 >/dev/null 2>&1\"", "sh", g_birdc, nullptr};
    int st = check_run(probe, ms_left(*c), out, sizeof out);
    if (st != 0) {
        if (g_n_ospf_exp > 0)
            line(c, FAIL, "birdc", "%s not found, but %d neighbours are expected: install bird2 or name it with -B CMD",
                 vis(g_birdc).s, g_n_ospf_exp);
        else
            line(c, NOTE, "birdc", "%s not found: page 1 has no OSPF section", vis(g_birdc).s);
    } else {
        const char *const show[] = {"/bin/sh", "-c", "eval \"$1 show ospf neighbors 2>&1\"", "sh", g_birdc, nullptr};
        st = check_run(show, ms_left(*c), out, sizeof out);
        static BirdcScan scan;
        birdc_scan_init(&scan);
        int neighbours = 0, full = 0;
        for (char *save = nullptr, *ln = strtok_r(out, "\n", &save); ln; ln = strtok_r(nullptr, "\n", &save)) {
            rstrip(ln);
            const char *entry = nullptr;
            bool f = false;
            if (birdc_scan_line(&scan, ln, &entry, &f) == BIRDC_NEIGHBOR) {
                neighbours++;
                if (f) full++;
            }
        }
        int missing = 0;
        for (int32_t i = 0; i < g_n_ospf_exp && i < MAX_OSPF_EXP; i++)
            if (!scan.expected_seen[i]) missing++;
        if (st < 0)
            line(c, FAIL, "birdc", "%s gave no answer in time", vis(g_birdc).s);
        else if (!scan.table_seen)
            line(c, FAIL, "birdc", "no neighbour table (is bird running?); it said: %.100s", vis(scan.first_line).s);
        else
            line(c, OK, "birdc", "answers: %d neighbours, %d Full, %d of %d expected missing", neighbours, full, missing,
                 g_n_ospf_exp);
    }

    struct stat sb;
    const char *ctl = "/run/bird/bird.ctl";
    if (::stat(ctl, &sb) == 0 && S_ISSOCK(sb.st_mode))
        line(c, OK, "bird control socket", "%s present", ctl);
    else
        line(c, NOTE, "bird control socket", "no %s (bird not running, or -B names a client with another socket)", ctl);
}

void tracefs(Check *c)
{
    static const char *const CANDIDATES[] = {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"};
    char root[256] = "";
    for (const char *cand : CANDIDATES) {
        char dir[256], ev[320];
        if (fs_path(dir, sizeof dir, "%s", cand) != 0) continue;
        std::snprintf(ev, sizeof ev, "%s/events/skb/kfree_skb", dir);
        if (::access(ev, F_OK) == 0) {
            std::snprintf(root, sizeof root, "%s", dir);
            break;
        }
    }
    if (!root[0]) {
        line(c, FAIL, "tracefs", "no kfree_skb event: mount -t tracefs nodev /sys/kernel/tracing (CONFIG_FTRACE)");
        line(c, FAIL, "kfree_skb trigger", "no tracefs, so the burst catcher cannot record stacks");
        line(c, NOTE, "trace instances", "no tracefs");
        return;
    }
    line(c, OK, "tracefs", "%s", root);
    char p[400];
    std::snprintf(p, sizeof p, "%s/events/skb/kfree_skb/trigger", root);
    if (::access(p, W_OK) == 0)
        line(c, OK, "kfree_skb trigger", "writable");
    else
        line(c, FAIL, "kfree_skb trigger", "not writable (%s): the burst catcher needs root", std::strerror(errno));
    std::snprintf(p, sizeof p, "%s/instances", root);
    if (::access(p, W_OK) == 0)
        line(c, OK, "trace instances", "available: captures get a trace buffer of their own");
    else
        line(c, NOTE, "trace instances", "not available: captures share the main trace buffer");
}

int bpf_obj_get(const char *path)
{
    union bpf_attr a;
    std::memset(&a, 0, sizeof a);
    a.pathname = reinterpret_cast<uintptr_t>(path);
    return static_cast<int>(syscall(__NR_bpf, BPF_OBJ_GET, &a, sizeof a));
}

void gate(Check *c)
{
    const char *sock = mw_sock_path();
    struct stat sb;
    bool sock_there = ::stat(sock, &sb) == 0;
    bool pins_there = ::access(mw_pin_dir(), F_OK) == 0;
    // Without any trace of the gate, page 4 shows it offline and nothing is broken.
    Status missing = sock_there || pins_there ? FAIL : NOTE;

    struct statfs fs;
    if (::statfs("/sys/fs/bpf", &fs) == 0 && static_cast<unsigned long>(fs.f_type) == 0xcafe4a11UL)
        line(c, OK, "bpffs", "mounted at /sys/fs/bpf");
    else
        line(c, missing, "bpffs", "not mounted at /sys/fs/bpf: mount -t bpf bpf /sys/fs/bpf");

    static const char *const PINS[] = {MW_MAP_STATS, MW_MAP_DROP4, MW_MAP_DPORTS};
    int open_ok = 0;
    const char *first_bad = nullptr;
    int bad_errno = 0;
    for (const char *pin : PINS) {
        char path[512];
        std::snprintf(path, sizeof path, "%s/%s", mw_pin_dir(), pin);
        int fd = bpf_obj_get(path);
        if (fd >= 0) {
            ::close(fd);
            open_ok++;
        } else if (!first_bad) {
            first_bad = pin;
            bad_errno = errno;
        }
    }
    if (open_ok == 3)
        line(c, OK, "gate pins", "%s: 3 maps open", vis(mw_pin_dir()).s);
    else
        line(c, missing, "gate pins", "%s/%s: %s; is moatwalld running? (systemctl start moatwall)",
             vis(mw_pin_dir()).s, first_bad, std::strerror(bad_errno));

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", sock);
    if (fd.fd >= 0 && ::connect(fd.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
        line(c, OK, "gate daemon socket", "%s accepts connections", vis(sock).s);
    else
        line(c, missing, "gate daemon socket", "%s: %s; start it with systemctl start moatwall", vis(sock).s,
             std::strerror(errno));
}

}  // namespace

int check_run(const char *const argv[], int budget_ms, char *out, size_t size)
{
    out[0] = '\0';
    if (budget_ms <= 0) return -1;
    int pfd[2];
    if (::pipe2(pfd, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, pfd[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    posix_spawnattr_setpgroup(&at, 0);  // its own group: ended whole, with its children
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int err = posix_spawnp(&pid, argv[0], &fa, &at, const_cast<char *const *>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    ::close(pfd[1]);
    UniqueFd rd(pfd[0]);
    if (err != 0) return err == ENOENT ? 127 : -1;

    auto deadline = Clock::now() + std::chrono::milliseconds(budget_ms);
    size_t len = 0;
    bool eof = false, timed_out = false;
    while (!eof) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{rd.fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(rd.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof = true;
            break;
        }
        size_t take = std::min(static_cast<size_t>(n), size - 1 - len);
        std::memcpy(out + len, buf, take);
        len += take;
    }
    out[len] = '\0';
    int status = 0;
    for (;;) {
        pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return -1;
        if (timed_out || Clock::now() >= deadline) {
            timed_out = true;
            ::kill(-pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
            break;
        }
        ::usleep(2000);
    }
    ::kill(-pid, SIGKILL);  // whatever it left running in its group
    if (timed_out) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int self_check(FILE *out)
{
    Check c{out, 0, Clock::now() + std::chrono::milliseconds(CHECK_BUDGET_MS)};
    if (::geteuid() == 0)
        line(&c, OK, "root", "running as root");
    else
        line(&c, FAIL, "root", "not root: conntrack, WireGuard peers, the burst catcher and the gate need it");
    kernel_files(&c);
    if (g_ethsock < 0) g_ethsock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sysfs_and_nics(&c);
    tools(&c);
    wireguard(&c);
    bird(&c);
    tracefs(&c);
    gate(&c);
    std::fflush(out);
    return c.fails > 0 ? 1 : 0;
}
