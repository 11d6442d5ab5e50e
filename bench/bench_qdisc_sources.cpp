// What the per-interface sources of a sample cost, by the ways of reading them,
// with W watched and U unwatched interfaces (veths whose peers live in a
// namespace of their own; every third watched one with htb and two pfifo leaves).
// The qdisc kinds and drops:
//   0  one `tc -s qdisc show` of every device, sorted out by name (what a sample does)
//   1  one `tc -s -batch FILE` with one `qdisc show dev X` line per watched interface
//   2  `tc -s qdisc show dev X` and `tc qdisc show dev X` per watched interface
//   3  one rtnetlink dump of every qdisc, read by the process itself (no tool)
// The link statistics and fields:
//   4  the 23 sysfs files of each watched interface, kept open and read from offset 0
//   5  one rtnetlink dump of every link (IFLA_STATS64, mtu, operstate, carrier changes)
// cpu_time is the process's own; "children_ms" the tools' CPU per round.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <linux/gen_stats.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/run_tool.hpp"
#include "ifdetail/tc_qdisc.hpp"

namespace {

double children_secs()
{
    rusage ru{};
    ::getrusage(RUSAGE_CHILDREN, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Fixture {
    int home = -1, home_mnt = -1;
    std::string peer;
    char names[TC_MAX_DEVS][16] = {};
    const char *list[TC_MAX_DEVS] = {};
    unsigned ifindex[TC_MAX_DEVS] = {};
    int n = 0;
    std::string batch;

    bool up(int watched, int unwatched)
    {
        home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        home_mnt = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
        peer = "twbq_" + std::to_string(::getpid());
        // A sysfs of its own, so /sys/class/net shows this namespace's interfaces.
        if (home < 0 || home_mnt < 0 || ::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0 || std::system(("ip netns add " + peer).c_str()) != 0)
            return false;
        std::string cmds;
        n = watched < TC_MAX_DEVS ? watched : TC_MAX_DEVS;
        for (int i = 0; i < watched + unwatched; i++) {
            std::string dev = (i < n ? "w" : "u") + std::to_string(i);
            cmds += "link add " + dev + " type veth peer name p" + std::to_string(i) + " netns " + peer + "\n";
            cmds += "link set " + dev + " up\n";
        }
        batch = "/tmp/" + peer + ".batch";
        std::FILE *f = std::fopen(batch.c_str(), "w");
        if (!f) return false;
        std::fputs(cmds.c_str(), f);
        std::fclose(f);
        if (std::system(("ip -batch " + batch).c_str()) != 0) return false;
        std::string tc, lines;
        for (int i = 0; i < n; i++) {
            std::snprintf(names[i], sizeof names[i], "w%d", i);
            list[i] = names[i];
            ifindex[i] = ::if_nametoindex(names[i]);
            lines += std::string("qdisc show dev ") + names[i] + "\n";
            if (i % 3 != 0) continue;
            const std::string d = std::string(" dev ") + names[i];
            tc += "qdisc add" + d + " root handle 1: htb default 20\n";
            for (const char *c : {"10", "20"}) {
                tc += "class add" + d + " parent 1: classid 1:" + c + " htb rate 100mbit\n";
                tc += "qdisc add" + d + " parent 1:" + c + " handle " + c + ": pfifo limit 100\n";
            }
        }
        f = std::fopen(batch.c_str(), "w");
        if (!f) return false;
        std::fputs(tc.c_str(), f);
        std::fclose(f);
        if (std::system(("tc -batch " + batch + " 2>/dev/null").c_str()) != 0) return false;
        f = std::fopen(batch.c_str(), "w");
        if (!f) return false;
        std::fputs(lines.c_str(), f);
        std::fclose(f);
        return true;
    }

    ~Fixture()
    {
        if (!peer.empty()) std::system(("ip netns del " + peer + " 2>/dev/null").c_str());
        if (!batch.empty()) std::remove(batch.c_str());
        if (home >= 0) {
            ::setns(home, CLONE_NEWNET);
            ::close(home);
        }
        if (home_mnt >= 0) {
            ::setns(home_mnt, CLONE_NEWNS);
            ::close(home_mnt);
        }
    }
};

void run_tc(const char *const argv[], TcListing *ls)
{
    ToolRun t;
    if (tool_start(&t, argv) != 0) return;
    char line[TC_LINE_MAX + 1];
    while (tool_getline(&t, line, sizeof line) >= 0)
        if (ls) tc_listing_line(ls, line);
    tool_close(&t);
}

// Roots' drops and the first two kinds of each watched interface, straight from the kernel.
// Sends one dump request and hands each answer to on_msg, until the kernel
// says the dump is done. Both dumps below read their replies this way.
template <class Req, class OnMsg>
void netlink_dump(int sock, const Req &req, OnMsg on_msg)
{
    if (::send(sock, &req, sizeof req, 0) < 0) return;
    alignas(nlmsghdr) static char buf[32768];
    for (;;) {
        ssize_t len = ::recv(sock, buf, sizeof buf, 0);
        if (len <= 0) return;
        for (auto *nh = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(nh, len); nh = NLMSG_NEXT(nh, len)) {
            if (nh->nlmsg_type == NLMSG_DONE || nh->nlmsg_type == NLMSG_ERROR) return;
            on_msg(nh);
        }
    }
}

int fixture_slot(const Fixture &fx, int ifindex)
{
    for (int i = 0; i < fx.n; i++)
        if (fx.ifindex[i] == static_cast<unsigned>(ifindex)) return i;
    return -1;
}

void rtnetlink_dump(int sock, const Fixture &fx, uint64_t *drops, TcKinds *kinds)
{
    struct {
        nlmsghdr nh;
        tcmsg tc;
    } req{};
    req.nh.nlmsg_len = sizeof req;
    req.nh.nlmsg_type = RTM_GETQDISC;
    req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.tc.tcm_family = AF_UNSPEC;
    netlink_dump(sock, req, [&](nlmsghdr *nh) {
        auto *tc = static_cast<tcmsg *>(NLMSG_DATA(nh));
        const int slot = fixture_slot(fx, tc->tcm_ifindex);
        if (slot < 0) return;
        const bool root = tc->tcm_parent == TC_H_ROOT || tc->tcm_parent == TC_H_INGRESS;
        int alen = static_cast<int>(nh->nlmsg_len - NLMSG_LENGTH(sizeof *tc));
        for (auto *a = reinterpret_cast<rtattr *>(tc + 1); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
            if (a->rta_type == TCA_KIND && kinds[slot].n < 2)
                std::snprintf(kinds[slot].kind[kinds[slot].n++], 32, "%s", static_cast<char *>(RTA_DATA(a)));
            if (a->rta_type != TCA_STATS2 || !root) continue;
            int slen = static_cast<int>(RTA_PAYLOAD(a));
            for (auto *st = static_cast<rtattr *>(RTA_DATA(a)); RTA_OK(st, slen); st = RTA_NEXT(st, slen))
                if (st->rta_type == TCA_STATS_QUEUE) drops[slot] += static_cast<gnet_stats_queue *>(RTA_DATA(st))->drops;
        }
    });
}

// The sysfs files a snapshot reads, opened once as the snapshot keeps them.
constexpr const char *SYSFS_FILES[] = {
    "statistics/rx_bytes", "statistics/tx_bytes", "statistics/rx_packets", "statistics/tx_packets",
    "statistics/rx_errors", "statistics/tx_errors", "statistics/rx_dropped", "statistics/tx_dropped",
    "statistics/rx_missed_errors", "statistics/rx_fifo_errors", "statistics/rx_over_errors",
    "statistics/rx_crc_errors", "statistics/rx_frame_errors", "statistics/tx_fifo_errors",
    "statistics/tx_carrier_errors", "statistics/collisions", "statistics/multicast", "flags", "carrier_changes",
    "operstate", "carrier", "speed", "mtu"};

uint64_t sysfs_reads(const int *fds, int n)
{
    uint64_t sum = 0;
    char buf[64];
    for (int i = 0; i < n; i++) {
        ssize_t r = ::pread(fds[i], buf, sizeof buf - 1, 0);
        if (r > 0) {
            buf[r] = '\0';
            sum += std::strtoull(buf, nullptr, 10);
        }
    }
    return sum;
}

void rtnetlink_links(int sock, const Fixture &fx, rtnl_link_stats64 *stats)
{
    struct {
        nlmsghdr nh;
        ifinfomsg ifi;
    } req{};
    req.nh.nlmsg_len = sizeof req;
    req.nh.nlmsg_type = RTM_GETLINK;
    req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    netlink_dump(sock, req, [&](nlmsghdr *nh) {
        auto *ifi = static_cast<ifinfomsg *>(NLMSG_DATA(nh));
        const int slot = fixture_slot(fx, ifi->ifi_index);
        if (slot < 0) return;
        int alen = static_cast<int>(nh->nlmsg_len - NLMSG_LENGTH(sizeof *ifi));
        for (auto *a = IFLA_RTA(ifi); RTA_OK(a, alen); a = RTA_NEXT(a, alen))
            if (a->rta_type == IFLA_STATS64) std::memcpy(&stats[slot], RTA_DATA(a), sizeof stats[slot]);
    });
}

void bm_qdisc_sources(benchmark::State &state)
{
    const int way = static_cast<int>(state.range(0));
    Fixture fx;
    if (!fx.up(static_cast<int>(state.range(1)), static_cast<int>(state.range(2)))) {
        state.SkipWithError("needs root, veths and htb");
        return;
    }
    const int sock = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    static int fds[TC_MAX_DEVS * std::size(SYSFS_FILES)];
    int nfds = 0;
    for (int i = 0; way == 4 && i < fx.n; i++)
        for (const char *f : SYSFS_FILES)
            fds[nfds++] = ::open(("/sys/class/net/" + std::string(fx.names[i]) + "/" + f).c_str(), O_RDONLY);
    const double before = children_secs();
    for (auto _ : state) {
        TcListing ls;
        tc_listing_init(&ls, fx.list, fx.n);
        if (way == 0) {
            const char *argv[] = {"tc", "-s", "qdisc", "show", nullptr};
            run_tc(argv, &ls);
        } else if (way == 1) {
            const char *argv[] = {"tc", "-s", "-batch", fx.batch.c_str(), nullptr};
            run_tc(argv, nullptr);
        } else if (way == 2) {
            for (int i = 0; i < fx.n; i++) {
                const char *stats[] = {"tc", "-s", "qdisc", "show", "dev", fx.names[i], nullptr};
                const char *kinds[] = {"tc", "qdisc", "show", "dev", fx.names[i], nullptr};
                run_tc(stats, nullptr);
                run_tc(kinds, nullptr);
            }
        } else if (way == 4) {
            benchmark::DoNotOptimize(sysfs_reads(fds, nfds));
        } else if (way == 5) {
            rtnl_link_stats64 stats[TC_MAX_DEVS] = {};
            rtnetlink_links(sock, fx, stats);
            benchmark::DoNotOptimize(stats);
        } else {
            uint64_t drops[TC_MAX_DEVS] = {};
            TcKinds kinds[TC_MAX_DEVS];
            rtnetlink_dump(sock, fx, drops, kinds);
            benchmark::DoNotOptimize(drops);
        }
    }
    state.counters["children_ms"] = (children_secs() - before) * 1e3 / static_cast<double>(state.iterations());
    ::close(sock);
    for (int i = 0; i < nfds; i++) ::close(fds[i]);
}

}  // namespace

// {way, watched, unwatched}
BENCHMARK(bm_qdisc_sources)
    ->ArgNames({"way", "watched", "unwatched"})
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {1, 8, 32}, {0, 300}})
    ->Unit(benchmark::kMicrosecond);
