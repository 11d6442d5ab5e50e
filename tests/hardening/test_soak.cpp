// Three minutes of the real monitor at -i 1 -r 1 in a namespace, on a terminal,
// while interfaces come and go, bursts are caught, the gate daemon restarts and
// keys arrive. Afterwards nothing of it is left and its resources held steady.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <optional>

#include "gate/standin_server.hpp"
#include "hardening/hardening_rig.hpp"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr long RSS_SLACK_KIB = LONG_MAX;  // the sanitizer's quarantine keeps freed memory resident for a while
#else
constexpr long RSS_SLACK_KIB = 256;  // a few pages
#endif

// FDS counts the descriptors other than sysfs files (those are kept per watched
// interface) directly: the difference of two listings, taken while rediscovery
// opens and closes files, can come out below zero.
enum { FDS, SYSFS_FDS, CHILDREN, ZOMBIES, RSS_KIB };

// Descriptors, live and zombie children and resident KiB of the monitor whose
// pid is in <f>.pid (none readable: LONG_MAX, which the zombie check fails), each the least
// over a few looks a tenth of a second apart: a tool run or a capture may hold a
// child and its pipe at any one moment.
std::array<long, 5> steady_view(const std::string &f)
{
    const std::string p = "$(cat " + f + ".pid)", kids = "$(ps -o stat= --ppid " + p + " | grep -c";
    const std::string look = "cd /proc/" + p + " && echo $(ls -l fd | grep ' -> ' | grep -vc ' -> /sys/') " +
                             "$(ls -l fd | grep -c ' -> /sys/') " + kids + " -v ^Z) " + kids + " ^Z) " +
                             "$(awk '/VmRSS/{print $2}' status)";
    const std::string least = "awk '{for (k = 1; k <= 5; k++) if (NR == 1 || $k < m[k]) m[k] = $k} "
                              "END {print m[1], m[2], m[3], m[4], m[5]}'";
    std::array<long, 5> v;
    v.fill(LONG_MAX);
    std::sscanf(sh_out("for i in $(seq 11); do " + look + "; sleep 0.1; done | " + least).c_str(), "%ld %ld %ld %ld %ld",
                &v[0], &v[1], &v[2], &v[3], &v[4]);
    return v;
}

using soak = MonitorRig;

TEST_F(soak, three_minutes_of_churn_leave_nothing_behind)
{
    const int secs = std::getenv("TARNWATCH_SOAK_SECS") ? std::atoi(std::getenv("TARNWATCH_SOAK_SECS")) : 180;
    const std::string sock = t.path + "/mw.sock";
    const auto status_reply = [](const std::string &req) {
        return req == "status" ? "iface twgate0\nattached 1 xdpdrv\ngate twgate0 xdpdrv\nOK\n" : "OK\n";
    };
    std::optional<StandinServer> daemon(std::in_place, sock, status_reply);
    PtySession s;
    const std::string f = start("-i 1 -r 1 -s 2 -w twnone0", "soak", &s,
                                "TARNWATCH_TEST_MW_SOCK=" + sock + " TARNWATCH_TEST_MW_PINS=" + t.path + "/nopins");
    ASSERT_TRUE(s.read_until("=== UDP underlay ===", 10)) << s.out;

    const char *const KEYS[] = {"2", "3", "4", "\t", "j", "1", "n", "p", "b", "b"};
    std::array<long, 5> first{};
    int sec = 0;
    // The length is wall-clock time, not rounds: a loaded machine runs fewer
    // rounds instead of overrunning the test's time limit.
    const auto t0 = std::chrono::steady_clock::now(), end = t0 + std::chrono::seconds(secs);
    for (; std::chrono::steady_clock::now() < end; sec++) {
        // A new sub-interface every second; each lives three seconds.
        ns->run("ip link add " + dev + "." + std::to_string(sec) + " type veth peer name q" + std::to_string(sec));
        if (sec >= 3) ns->run("ip link del " + dev + "." + std::to_string(sec - 3));
        if (sec % 20 == 5) drop_datagrams(*ns, 77, 40);
        if (sec % 30 == 29) daemon.emplace(sock, status_reply);  // a restart: the old socket goes before the new one is made
        if (sec % 2 == 0) s.write(KEYS[(sec / 2) % std::size(KEYS)]);
        if (first[RSS_KIB] == 0 && std::chrono::steady_clock::now() - t0 >= std::chrono::seconds(60)) first = steady_view(f);
        // Whatever the monitor writes until the next second is read, so it never blocks on a full terminal.
        const auto next = std::min(end, t0 + std::chrono::seconds(sec + 1));
        s.read_until("\x01never\x01", std::chrono::duration<double>(next - std::chrono::steady_clock::now()).count());
    }
    const std::array<long, 5> last = steady_view(f);

    // The last interface is seen; bursts were caught.
    s.write("1");
    EXPECT_TRUE(s.read_until("\n  " + dev + "." + std::to_string(sec - 1) + " ", 4)) << s.out.substr(s.sent_at);
    s.write("3");
    ASSERT_TRUE(s.read_until(" total) ---", 4));
    const size_t at = s.out.rfind("--- caught bursts (newest first, ");
    const int drops = (sec + 14) / 20;  // seconds with sec % 20 == 5
    EXPECT_GE(std::atoi(s.out.c_str() + at + 33), drops / 2) << drops << " drops\n" << s.out.substr(at, 200);

    if (secs >= 120) {
        // A leak grows; the first look may catch a connection or a pipe held a little longer.
        EXPECT_LE(last[FDS], first[FDS]);
        EXPECT_LE(last[SYSFS_FDS], 25 * 6);  // at most 25 for each interface watched at once
        EXPECT_LE(last[CHILDREN], first[CHILDREN]);
        EXPECT_EQ(last[ZOMBIES], 0);
        // Counters of interfaces gone for a few rediscoveries are dropped, so
        // after the first minute memory stays flat.
        EXPECT_LT(last[RSS_KIB] - first[RSS_KIB], RSS_SLACK_KIB) << first[RSS_KIB] << " -> " << last[RSS_KIB];
    }

    s.write("q");
    ASSERT_TRUE(s.read_until("TW_EXIT=0", 5)) << s.out.substr(s.sent_at);
    EXPECT_EQ(sh("test -e " + instance_of(f) + " || " + tcpdump_on(dev)), 1) << "trace instance or tcpdump left";
}

}  // namespace
