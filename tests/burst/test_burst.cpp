// The burst catcher: trace classification and drop reasons from recorded
// traces, the trigger and ring against a fixture tree, and whole captures on the
// real kernel (tracefs instance, kfree_skb stacks, tcpdump) in a namespace.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "burst/burst_state.hpp"
#include "burst/burst_store.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "hardening/hardening_rig.hpp"
#include "support/fixture_rows.hpp"

namespace {

// A fixture tracefs root with the monitor's own instance, whose trace still holds
// an earlier burst's stack; interfaces twb0 and twb1 whose tx_dropped the test
// sets, and a capture parent of the test's own.
class BurstFixture : public testing::Test {
protected:
    TempDir root, cap;
    const std::string inst = "sys/kernel/tracing/instances/tarnwatch-" + std::to_string(getpid());
    std::string window_trace;  // what the kernel traces during a window

    void SetUp() override
    {
        g_burst_if = g_lan = "twb0";
        g_burst_pcap = 0;
        for (const std::string &d : {std::string("sys/kernel/tracing"), inst})
            root.write(d + "/events/skb/kfree_skb/trigger", "");
        root.write(inst + "/trace", "  ping-12 [001] ..s1.  1.0: <stack trace>\n => stale_xmit\n => __dev_queue_xmit\n");
        fsroot_set(root.path.c_str());
        burst_probe();
        store_parent_set(cap.path.c_str());
    }
    void set_drops(uint64_t v, const char *dev = "twb0")
    {
        root.write(std::string("sys/class/net/") + dev + "/statistics/tx_dropped", std::to_string(v));
    }
    // One sample's trigger step; a capture it starts sees window_trace and in_window more drops, and ends at once.
    void sample(uint64_t drops, uint64_t in_window = 0)
    {
        set_drops(drops);
        burst_detect();
        if (g_burst_state != 1) return;
        std::ofstream(root.path + "/" + inst + "/trace", std::ios::app) << window_trace;
        set_drops(drops + in_window);
        burst_finish();
    }
    std::string page()
    {
        sb_clear(&PAGES[2]);
        render_burst_page();
        return PAGES[2].buf;
    }
};

TEST_F(BurstFixture, trigger_rules)
{
    char lan[16];
    for (const FixtureRow &r : fixture_rows("burst/fixtures/trigger_rules.tsv", 4)) {
        g_burst_if_fixed = std::stoi(r[0]);
        g_n_bursts = g_burst_prev_ok = 0;
        std::istringstream samples(r[1]);
        for (std::string one; samples >> one;) {
            uint64_t drops = 0;
            g_burst_arm = 1;
            std::snprintf(lan, sizeof lan, "twb0");
            std::sscanf(one.c_str(), "%" SCNu64 ",%d,%15s", &drops, &g_burst_arm, lan);
            g_lan = lan;
            set_drops(2 * drops, "twb1");
            sample(drops);
        }
        EXPECT_EQ(g_n_bursts, 1) << r[3];
        EXPECT_EQ(g_bursts[0].trigger_delta, std::stoll(r[2])) << r[3];
    }
}

// Ten captures, most in the same second, each on a trace and in a directory of
// its own; then the ring and page 3. The first capture also finds the earlier
// burst's stack emptied out of the instance.
TEST_F(BurstFixture, captures_ring_and_page)
{
    const auto rows = fixture_rows("burst/fixtures/captures.tsv", 3);
    sample(100);
    uint64_t v = 100;
    for (uint64_t i = 1; i <= 10; i++) {  // burst i rises by i; the last has 25 more drops in its window
        const FixtureRow &r = rows[std::min<size_t>(i - 1, rows.size() - 1)];
        window_trace = unescape_field(fixture("burst/fixtures/" + r[0] + ".trace.txt"));
        sample(v += i, i == 10 ? 25 : 0);
        const BurstEntry &e = g_bursts[(i - 1) % BURST_RING];
        EXPECT_EQ(e.n_stacks, std::stoi(r[1])) << i;
        EXPECT_EQ(e.txpath, r[2]) << i;
        EXPECT_EQ(read_whole_file(std::string(e.dir) + "/reasons.txt"), fixture("burst/fixtures/" + r[0] + ".reasons.txt"))
            << i;
    }
    const std::string dir = g_bursts[1].dir;  // burst 10's
    EXPECT_EQ(read_whole_file(dir + "/counters.txt"), "iface=twb0 trigger_delta=10 start=155 end=180 window_drops=25\n");
    sample(180);  // the window's own drops never trigger again
    const std::string p = page();
    EXPECT_NE(p.find("--- caught bursts (newest first, 10 total) ---"), std::string::npos) << p;
    EXPECT_EQ(std::count(p.begin(), p.end(), '+'), 8) << p;
    // newest first: burst 10, then down to burst 3
    const std::string newest = "+10 trig, 25 in window, 0 stacks\n           tx-path: " + rows.back()[2] +
                               "\n           " + dir + "/{stacks.txt,reasons.txt,counters.txt}\n";
    EXPECT_LT(p.find(newest), p.find("+9 trig")) << p;
    EXPECT_LT(p.find("+4 trig"), p.find("+3 trig")) << p;
    // b shows on the page at once, not at the next sample.
    burst_toggle_arm();
    const std::string toggled = PAGES[2].buf;
    EXPECT_NE(toggled.find("armed: no "), std::string::npos);
    EXPECT_EQ(toggled, page());
}

// No capture writes once its worst case would pass the run's budget or leave
// less free space than the floor (a tenth of the filesystem, at least 16 MiB).
TEST(burst_store, budget_and_free_space_floor)
{
    store_parent_set("/cap");
    constexpr uint64_t M = 1 << 20, G = M << 10, W = CAPTURE_WORST;
    const struct {
        uint64_t used, budget, size, free;
        const char *why;  // nullptr: files are written
    } rows[] = {
        {64 * M - W, 64 * M, 100 * G, 10 * G + W, nullptr},  // the last capture that fits either
        {64 * M - W + 1, 64 * M, 100 * G, 50 * G, "files skipped: 59.1M of the 64.0M capture budget used (--burst-budget)"},
        {0, 64 * M, 100 * G, 10 * G + W - 1, "files skipped: only 10.0G free on /cap (10.0G needed)"},
        {0, 64 * M, 64 * M, 16 * M + W, nullptr},  // a small tmpfs: the 16 MiB floor
        {0, 64 * M, 64 * M, 16 * M, "files skipped: only 16.0M free on /cap (20.9M needed)"},
    };
    for (const auto &r : rows) {
        char why[96] = "";
        EXPECT_STREQ(store_refusal(r.used, r.budget, r.size, r.free, why, sizeof why), r.why) << r.used << " " << r.free;
    }
    store_init();
}

// ---- the real kernel ----

using RealBurst = MonitorRig;

// The capture directory holding a counters file of interface d in cap; "" when there is not exactly one.
std::string capture_of(const std::string &cap, const std::string &d)
{
    const std::string v = sh_out("grep -l 'iface=" + d + " ' " + cap + "/burst-*/counters.txt 2>/dev/null");
    return std::count(v.begin(), v.end(), '\n') == 1 ? v.substr(0, v.size() - 14) : "";
}

// What a finished capture holds: the kernel's stacks and reasons, counters (their
// values are the fixture's to check), a pcap that tcpdump reads back; every file
// root's alone, so an unprivileged user reads none of them.
void expect_complete_and_private(const std::string &dir)
{
    EXPECT_EQ(sh("cd " + dir + " && grep -q '=> __dev_queue_xmit' stacks.txt && grep -q ' NOT_SPECIFIED ' reasons.txt"), 0);
    EXPECT_EQ(sh("tcpdump -r " + dir + "/burst.pcap -n 2>/dev/null | grep -q ' > 10\\.'"), 0) << dir;
    EXPECT_EQ(sh_out("stat -c '%a %U' " + dir + " " + dir + "/*"), "700 root\n600 root\n600 root\n600 root\n600 root\n");
    EXPECT_NE(sh("runuser -u nobody -- ls " + dir + " >/dev/null 2>&1"), 0);
}

// A capture in a trace instance grown to hold far more than the copy takes: the
// files hold the burst, the copy keeps its bound, the monitor its samples, and
// tcpdump is stopped at the end of the window. The next burst passes the run's
// budget: counted and explained on page 3, no files. A second monitor bursts on
// the other link meanwhile, into a directory of its own; names planted by
// another user for the next minute change nothing.
TEST_F(RealBurst, end_to_end_capture)
{
    // The trace takes every drop of the box: drops on this link fill it without reaching tcpdump's count.
    ASSERT_TRUE(drop_link(*ns, dev + "b", 76));
    const std::string planted = t.mkdir("cap/planted");
    const std::string name = cap + "/burst-$(date -d @$(($(date +%s) + s)) +%Y%m%d-%H%M%S)";
    sh("for s in $(seq 0 59); do if [ $((s % 2)) = 0 ]; then ln -s " + planted + " " + name +
       "; else runuser -u nobody -- mkdir -m 0777 " + name + "; fi; done");
    PtySession s;
    const std::string f = start("-i 1 -n 15 -s 3 --burst-budget 6", "m", &s), inst = instance_of(f);
    const std::string g = start("-i 1 -n 8 -I " + dev + "b", "b");
    // The first screen follows the first sample, which only primes the baseline.
    ASSERT_TRUE(s.read_until("=== UDP underlay ===", 10)) << s.out;
    s.write("3");
    // The monitor sizes its instance's ring first (512 KiB, rounded up to whole pages); the test then grows it.
    ASSERT_TRUE(wait_for("test 0$(cat " + inst + "/buffer_size_kb 2>/dev/null) -le 520 && test -d " + inst, 5));
    ASSERT_EQ(sh("echo 16384 >" + inst + "/buffer_size_kb"), 0);
    drop_datagrams(*ns, 77, 20);
    ASSERT_TRUE(wait_for(tcpdump_on(dev), 5));
    drop_datagrams(*ns, 77, 30);
    const auto t0 = std::chrono::steady_clock::now();
    // Drops until the window ends: a loaded machine sends fewer of them a second.
    for (int i = 0; i < 40 && sh(tcpdump_on(dev)) == 0; i++) drop_datagrams(*ns, 76, 4000);
    const std::string written = "grep -qs 'iface=" + dev + " ' " + cap + "/burst-*/counters.txt";
    EXPECT_TRUE(wait_for("! " + tcpdump_on(dev) + " && " + written + " && kill -0 $(cat " + f + ".pid)", 8));
    const std::string dir = capture_of(cap, dev);
    expect_complete_and_private(dir);
    const size_t stacks = read_whole_file(dir + "/stacks.txt").size();
    EXPECT_GT(stacks, TRACE_COPY_MAX);  // the trace held more than the copy takes
    EXPECT_LE(stacks, TRACE_COPY_MAX + TRACE_CHUNK);

    // The next burst would pass the run's 6 MiB: counted and explained on page 3, but no files.
    drop_datagrams(*ns, 77, 5);
    ASSERT_TRUE(s.read_until("TW_EXIT=0", 25)) << s.out.substr(s.sent_at);
    // About 12 s here: twice that still shows a trace copy that held the loop up.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(24));
    EXPECT_GE(occurrences(s.out, "   interval="), 15u);  // screens painted
    const size_t at = s.out.rfind("--- caught bursts (newest first, 2 total) ---");
    EXPECT_NE(s.out.find("capture budget used (--burst-budget)", at), std::string::npos) << s.out.substr(s.sent_at);
    EXPECT_TRUE(wait_for("test -s " + g + ".rc", 10));
    EXPECT_NE(capture_of(cap, dev + "b"), "");
    EXPECT_EQ(sh_out("find " + cap + " -mindepth 2 ! -path '*/burst-*-*-*/*'"), "");  // nothing in what was planted
}

// However the monitor is ended during a capture, nothing of it stays behind: a
// normal end (q, the sample count) first writes the capture's files, a signal
// ends it at once as before, and tcpdump dies with a monitor killed outright.
// An instance of a killed monitor is removed by the next start, and only that one.
TEST_F(RealBurst, every_ending_during_a_capture_cleans_up)
{
    // A signal's name, the sample count reached, or q typed on a terminal.
    const std::string endings[] = {"INT", "TERM", "HUP", "QUIT", "count", "q", "KILL"};
    // Every start removes the instances of monitors that are gone, and only those: this live process's stays.
    const std::string live = "/sys/kernel/tracing/instances/tarnwatch-" + std::to_string(getpid());
    ASSERT_EQ(sh("mkdir " + live), 0);
    for (const std::string &end : endings) {
        SCOPED_TRACE(end);
        const bool sig = std::isupper(end[0]), terminal = end == "q";
        PtySession s;
        const std::string f = start(end == "count" ? "-i 1 -s 30 -n 10" : "-i 1 -s 30", end, terminal ? &s : nullptr);
        const std::string inst = instance_of(f);
        EXPECT_TRUE(wait_for("test -d " + inst, 5));
        usleep(1500000);  // the first sample only primes the baseline
        drop_datagrams(*ns, 77, 5);
        ASSERT_TRUE(wait_for(tcpdump_on(dev) + " && grep -q ^stacktrace " + inst + "/events/skb/kfree_skb/trigger", 5));
        drop_datagrams(*ns, 77, 5);
        if (sig) sh("kill -" + end + " $(cat " + f + ".pid)");
        if (terminal) s.write("q");
        ASSERT_TRUE(terminal ? s.read_until("TW_EXIT=0", 5) : wait_for("test -s " + f + ".rc", sig ? 5 : 15)) << s.out;
        // Gone with the monitor, well inside its 30-second window.
        EXPECT_TRUE(wait_for("! " + tcpdump_on(dev), 3));
        EXPECT_EQ(sh("ls " + cap + "/burst-*/counters.txt >/dev/null 2>&1"), sig ? 2 : 0);
        if (!sig) expect_complete_and_private(capture_of(cap, dev));
        sh("rm -rf " + cap + "/burst-*");
        sh(tw_quiet("-1 -D -w twnone0 -l twnone1 >/dev/null 2>&1"));  // removes the instance of a killed monitor
        EXPECT_EQ(sh("test -d " + inst + " || grep -q ^stacktrace /sys/kernel/tracing/events/skb/kfree_skb/trigger"), 1);
    }
    EXPECT_EQ(sh("rmdir " + live), 0);
}

}  // namespace
