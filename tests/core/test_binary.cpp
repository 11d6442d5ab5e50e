// The real program, run as cron would run it: no terminal, output to a pipe.
#include <gtest/gtest.h>

#include <string>

#include "support/fixture_rows.hpp"
#include "support/launch.hpp"
#include "support/netns.hpp"
#include "support/veth_pair.hpp"

namespace {

const std::string TW = tw_quiet("-w tw-no-wan -l tw-no-lan ");

// Exit statuses and messages; once mode, forced colour and sample counts, to a
// file: pages, separators, clears and escapes as promised, and the waits between
// samples only.
TEST(binary, statuses_once_mode_and_sample_counts)
{
    std::string usage = fixture("core/fixtures/usage_built_in_defaults.txt");
    usage.replace(usage.find("./tw"), 4, TW_BIN);
    for (const FixtureRow &row : fixture_rows("core/fixtures/runs.tsv", 13)) {
        SCOPED_TRACE(row[12]);
#ifdef __SANITIZE_ADDRESS__
        if (row[0].starts_with("prlimit")) continue;  // the sanitizer's runtime needs descriptors of its own
#endif
        if (row[0].starts_with("setpriv") && sh("command -v setpriv >/dev/null && setpriv --reuid=65534 test -x " TW_BIN))
            GTEST_SKIP() << "setpriv missing or the binary is not reachable by an unprivileged user";
        ProgramRun r = run_program(row[0] + " " + TW + row[1], row[2]);
        const std::string out = row[10] == "<usage>" ? usage : row[10];
        const bool escapes = row[7] == "1";
        EXPECT_EQ(r.status, std::stoi(row[3]));
        EXPECT_EQ(r.err, row[11]);
        EXPECT_TRUE(out.empty() ? r.out.empty() : r.out.find(out) != std::string::npos) << r.out;
        EXPECT_EQ(occurrences(r.out, "########## PAGE "), std::stoul(row[4]));
        EXPECT_EQ(occurrences(r.out, "   interval="), std::stoul(row[5]));  // no tab line in once mode
        EXPECT_EQ(occurrences(r.out, "\x1b[H\x1b[2J"), std::stoul(row[6]));
        EXPECT_EQ(r.out.find('\x1b') != std::string::npos, escapes || row[6] != "0");
        EXPECT_GE(r.seconds, std::stod(row[8]));
        EXPECT_LT(r.seconds, std::stod(row[9]));
        if (row[4] == "0") continue;
        const std::string B = escapes ? "\x1b[1m" : "", R = escapes ? "\x1b[0m" : "";
        EXPECT_NE(r.out.find("\n" + B + "########## PAGE 2: Interfaces ##########" + R + "\n\n"), std::string::npos);
        // Header line, then the alert line, before the first separator.
        const size_t nl = r.out.find('\n'), nl2 = r.out.find('\n', nl + 1);
        EXPECT_EQ(r.out.substr(0, B.size()), B);
        EXPECT_TRUE(r.out.find("All quiet.", nl) < nl2 || r.out.find("!! ACTIVE: ", nl) < nl2) << r.out;
        EXPECT_LT(nl2, r.out.find("########## PAGE 1: Overview"));
    }
}

// Ten watched interfaces (a LAN and nine VLANs of it, veths in a namespace) and a
// stand-in `tc` on PATH that misbehaves in one way per case (also as `birdc`, which
// the first-only case makes stall first and stream after). Every tc writes its
// process id, and its child's, to pids; none may be left running afterwards.
TEST(binary, misbehaving_tools_and_lost_output)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard ns("twtools");
    ASSERT_EQ(ns.run("sh -c 'for i in 0 1 2 3 4 5 6 7 8 9; do ip link add tw0.$i type veth peer name twp$i; done; "
                     "ip link set tw0.0 name tw0'"), 0);
    TempDir d;
    const std::string D = d.path;
    ASSERT_EQ(sh("mkdir -p " + D + "/bin && ln -s tc " + D + "/bin/birdc && mkfifo " + D + "/fifo"), 0);
    // Each tc says who it is and whether descriptor 7 reached it, then runs the row's script.
    sh("chmod +x " + d.write("bin/tc", "#!/bin/sh\necho $$ >>$D/pids\n[ -e /proc/$$/fd/7 ] && echo leaked >>$D/fds\n"
                                       ". $D/script\n"));
    for (const FixtureRow &row : fixture_rows("core/fixtures/misbehaving_tc.tsv", 7)) {
        SCOPED_TRACE(row[6]);
        sh("rm -rf " + D + "/pids " + D + "/fds " + D + "/first");
        d.write("script", row[0] + "\n");
        ProgramRun r = run_program("export D=" + D + "; timeout 20 ip netns exec " + ns.name + " env PATH=$D/bin:$PATH " + TW +
                                       "-l tw0 " + row[1], row[2]);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_LT(r.seconds, std::stod(row[3]));
        EXPECT_EQ(occurrences(r.out, "tc timed out"), std::stoul(row[4])) << r.out.substr(0, 300);
        const std::string fds = read_whole_file(D + "/fds"), pids = read_whole_file(D + "/pids");
        EXPECT_EQ(occurrences(fds, "/dev/null\n"), std::stoul(row[5])) << fds;  // the screen's descriptor, as the tools see it
        EXPECT_EQ(fds.find("leaked"), std::string::npos);
        EXPECT_FALSE(pids.empty());
        for (size_t at = 0, nl; (nl = pids.find('\n', at)) != std::string::npos; at = nl + 1)
            EXPECT_TRUE(process_gone(pids.substr(at, nl - at))) << pids.substr(at, nl - at);
    }
}

// A first run without the built-in interface names: the WAN is the interface of
// the default route, and what stays missing is said on page 2 and in the alert
// line, with the interfaces that exist and the option that names one.
TEST(binary, first_run_says_what_is_missing)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    for (const FixtureRow &row : fixture_rows("core/fixtures/first_run.tsv", 5)) {
        SCOPED_TRACE(row[4]);
        NetnsGuard ns("twfirst");
        ASSERT_EQ(ns.run("sh -c '" + row[0] + "'"), 0);
        // tracefs mounted, so the burst catcher is armed and its page says what it watches.
        ProgramRun r = run_program("ip netns exec " + ns.name + " sh -c 'mount -t tracefs nodev /sys/kernel/tracing " +
                                   "2>/dev/null; exec " + tw_quiet("-1 -M") + "'");
        const size_t p2 = r.out.find("########## PAGE 2"), p3 = r.out.find("########## PAGE 3");
        ASSERT_LT(p2, p3) << r.out;
        EXPECT_NE(r.out.substr(p2, p3 - p2).find(row[1]), std::string::npos) << r.out.substr(p2, p3 - p2);
        const std::string page3 = r.out.substr(p3);  // unless tracefs is missing here
        EXPECT_TRUE(page3.find("DISABLED: ") != std::string::npos ||
                    page3.find("no interface enp16s0f1np1 here: -I IF (or -l IF) names the one to watch") != std::string::npos)
            << page3;
        EXPECT_NE(r.out.substr(0, r.out.find('\n', r.out.find('\n') + 1)).find(row[2]), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(row[3]), std::string::npos);
    }
}

// The LAN gets a sub-interface after the first sample and 100 frames of 1042 bytes after the
// second: with -r 1 it is watched from the second sample on, and the third
// sample's rate covers the one interval since the second, not two since the first.
TEST(binary, live_samples_rediscover_and_rate_over_the_last_gap)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard a("twliveA"), b("twliveB");
    ASSERT_EQ(sh("set -e\n" + quiet_veth(a.name, b.name, "lan0", "10.8.0", 1)), 0);
    TempDir d;
    const std::string out = d.path + "/out", headers = "grep -c '=== Interfaces' " + out + " 2>/dev/null";
    sh("ip netns exec " + a.name + " " + TW + "-k -M -i 1 -n 3 -r 1 -l lan0 -D >" + out + " 2>&1 </dev/null &");
    auto wait_samples = [&](int n) { wait_for("test \"$(" + headers + ")\" -ge " + std::to_string(n), 2); };
    wait_samples(1);
    a.run("ip link add lan0.5 type veth peer name p5");  // a sub-interface by its name
    wait_samples(2);
    b.run("bash -c 'for i in {1..100}; do printf %1000s >/dev/udp/10.8.0.1/9; done'");
    wait_samples(3);
    usleep(200000);
    const std::string o = read_whole_file(out);
    const size_t s2 = o.find("=== Interfaces", o.find("=== Interfaces") + 1), s3 = o.rfind("=== Interfaces");
    ASSERT_NE(s3, s2) << o;
    EXPECT_EQ(o.substr(0, s2).find("\n  lan0.5 "), std::string::npos);  // the alert line lists it as it exists
    EXPECT_NE(o.substr(s2, s3 - s2).find("\n  lan0.5 "), std::string::npos) << o.substr(s2);  // at the next sample
    double kib = 0;
    std::sscanf(o.c_str() + o.find(" rx:", o.find("\n  lan0 ", s3)), " rx:%lfK", &kib);
    EXPECT_GT(kib, 100 * 1042 / 1024.0 / 1.3) << o.substr(s3);
    EXPECT_LE(kib, 100 * 1042 / 1024.0 + 1);
}

}  // namespace
