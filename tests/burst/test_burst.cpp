// The burst catcher: trace classification and drop reasons from recorded
// traces, the trigger and ring against a fixture tree, and whole captures on the
// real kernel (tracefs instance, kfree_skb stacks, tcpdump) in a namespace.
#include <algorithm>
#include <csignal>
#include <ctime>
#include <fstream>

#include <gtest/gtest.h>

#include "burst/burst_state.hpp"
#include "burst/burst_store.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "hardening/hardening_rig.hpp"

namespace {

std::string stack(std::initializer_list<const char *> frames)
{
    std::string s = "  ping-12 [001] ..s1.  1.0: <stack trace>\n";
    for (const char *f : frames) s += std::string(" => ") + f + "\n";
    return s;
}

// A fixture tracefs root with the monitor's own instance, whose trace still holds
// an earlier burst's stack; interfaces twb0 and twb1 whose tx_dropped the test
// sets, and a capture parent of the test's own.
class BurstFixture : public testing::Test {
protected:
    TempDir root, cap;
    const std::string inst = "sys/kernel/tracing/instances/tarnwatch-" + std::to_string(getpid());
    std::string window_trace = stack({"__dev_queue_xmit"});  // what the kernel traces during a window

    void SetUp() override
    {
        g_burst_if = g_lan = "twb0";
        g_burst_pcap = 0;
        for (const std::string &d : {std::string("sys/kernel/tracing"), inst})
            root.write(d + "/events/skb/kfree_skb/trigger", "");
        root.write(inst + "/trace", stack({"stale_xmit", "__dev_queue_xmit"}));
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
    struct Sample {
        uint64_t twb0;  // twb1 has twice as many
        int32_t arm = 1;
        const char *lan = "twb0";
    };
    const struct {
        int32_t fixed;  // -I named twb0
        std::vector<Sample> samples;
        int64_t delta;  // of the one burst
    } rows[] = {
        {0, {{100}, {100}, {101}}, 1},                 // a single drop is a burst
        {0, {{100}, {90}, {95}}, 5},                   // backwards: the lower value is the baseline
        {0, {{100}, {110, 0}, {120, 0}, {125}}, 25},  // drops while disarmed trigger at once
        // page 4 makes twb1 the LAN: the catcher moves there with a fresh baseline, unless -I named twb0
        {1, {{100}, {100, 1, "twb1"}, {103, 1, "twb1"}}, 3},
        {0, {{100}, {100, 1, "twb1"}, {103, 1, "twb1"}}, 6},  // last: it moves the catcher off twb0
    };
    for (const auto &r : rows) {
        g_burst_if_fixed = r.fixed;
        g_n_bursts = g_burst_prev_ok = 0;
        for (const Sample &s : r.samples) {
            g_burst_arm = s.arm;
            g_lan = s.lan;
            set_drops(2 * s.twb0, "twb1");
            sample(s.twb0);
        }
        EXPECT_EQ(g_n_bursts, 1);
        EXPECT_EQ(g_bursts[0].trigger_delta, r.delta);
    }
}

// Ten captures, most in the same second, each on a trace and in a directory of
// its own; then the ring and page 3.
TEST_F(BurstFixture, captures_ring_and_page)
{
    const std::string ev = "  ping-1 [000] ..s1. 2.0: kfree_skb: skbaddr=0000 rx_sk=0000 protocol=2048 location=";
    const std::string xmit = stack({"i40e_xmit_frame", "i40e_lan_xmit", "__dev_queue_xmit+0x1"});
    // Frames by prefix, the three largest, ties to the earlier frame of the table;
    // "=>" without a blank is no frame. Reasons by count, then as first seen; older
    // kernels give a bare address; trace bytes never land in the file raw.
    const std::string mixed = xmit + xmit + xmit +
                              stack({"fq_dequeue", "fq_enqueue", "fq_x", "fq_y", "ip_output", "ip_output", "ip_output",
                                     "arp_solicit", "arp_solicit", "qdisc_drop"}) +
                              stack({"kfree_skb_reason", "udp_rcv"}) + "=>ip_output\n" + ev +
                              "__dev_forward_skb2+0x89/0x200 reason: NOT_SPECIFIED\n" + ev +
                              "ip6_mc_input+0xd4/0x100 reason: NOT_SPECIFIED\n" + ev +
                              "ip6_mc_input+0xd4/0x100 reason: NOT_SPECIFIED\n => ip6_mc_input\n" + ev +
                              "0xffffffff81a2b3c4\n" + ev + "f\x1b[2J+0x1/0x2 reason: X\x9b\n";
    std::string many, top20;  // fn0 once ... fn29 thirty times: the file keeps the top 20
    for (int i = 0; i < 30; i++)
        for (int k = 0; k <= i; k++) many += ev + "fn" + std::to_string(i) + "+0x1/0x2 reason: R\n";
    for (int i = 29; i >= 10; i--) top20 += std::to_string(i + 1) + " R fn" + std::to_string(i) + "\n";
    const std::string none = "no tx-path frames (hw counter / rx-side only)";
    // The first capture also finds the earlier burst's stack emptied out of the instance.
    const struct {
        std::string trace;  // what the kernel traces during the window
        int32_t stacks;
        std::string txpath, reasons;
    } rows[] = {
        {mixed, 5, "6 i40e_, 4 fq_, 3 __dev_queue_xmit",
         "2 NOT_SPECIFIED ip6_mc_input\n1 NOT_SPECIFIED __dev_forward_skb2\n1 - 0xffffffff81a2b3c4\n1 X? f?[2J\n"},
        {many, 0, none, top20},
        {"no stacks at all\n", 0, none, ""},
    };
    sample(100);
    uint64_t v = 100;
    for (uint64_t i = 1; i <= 10; i++) {  // burst i rises by i; the last has 25 more drops in its window
        const auto &r = rows[std::min<uint64_t>(i - 1, 2)];
        window_trace = r.trace;
        sample(v += i, i == 10 ? 25 : 0);
        const BurstEntry &e = g_bursts[(i - 1) % BURST_RING];
        EXPECT_EQ(e.n_stacks, r.stacks) << i;
        EXPECT_EQ(e.txpath, r.txpath) << i;
        EXPECT_EQ(read_whole_file(std::string(e.dir) + "/reasons.txt"), r.reasons) << i;
    }
    const std::string dir = g_bursts[1].dir;  // burst 10's
    EXPECT_EQ(read_whole_file(dir + "/counters.txt"), "iface=twb0 trigger_delta=10 start=155 end=180 window_drops=25\n");
    sample(180);  // the window's own drops never trigger again
    const std::string p = page();
    EXPECT_NE(p.find("--- caught bursts (newest first, 10 total) ---"), std::string::npos) << p;
    EXPECT_EQ(std::count(p.begin(), p.end(), '+'), 8) << p;
    // newest first: burst 10, then down to burst 3
    const std::string newest = "+10 trig, 25 in window, 0 stacks\n           tx-path: " + none + "\n           " + dir +
                               "/{stacks.txt,reasons.txt,counters.txt}\n";
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
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
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
    const struct {
        const char *name;
        int sig;        // 0: the sample count is reached or q is typed
        bool terminal;  // on a terminal, ended with q
    } rows[] = {{"SIGINT", SIGINT, false}, {"SIGTERM", SIGTERM, false}, {"SIGHUP", SIGHUP, false},
                {"SIGQUIT", SIGQUIT, false}, {"count", 0, false}, {"q", 0, true}, {"SIGKILL", SIGKILL, false}};
    // Every start removes the instances of monitors that are gone, and only those: this live process's stays.
    const std::string live = "/sys/kernel/tracing/instances/tarnwatch-" + std::to_string(getpid());
    ASSERT_EQ(sh("mkdir " + live), 0);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        PtySession s;
        const std::string opts = std::string("-i 1 -s 30") + (r.sig || r.terminal ? "" : " -n 10");
        const std::string f = start(opts, r.name, r.terminal ? &s : nullptr), inst = instance_of(f);
        EXPECT_TRUE(wait_for("test -d " + inst, 5));
        usleep(1500000);  // the first sample only primes the baseline
        drop_datagrams(*ns, 77, 5);
        ASSERT_TRUE(wait_for(tcpdump_on(dev) + " && grep -q ^stacktrace " + inst + "/events/skb/kfree_skb/trigger", 5));
        drop_datagrams(*ns, 77, 5);
        if (r.sig) sh("kill -" + std::to_string(r.sig) + " $(cat " + f + ".pid)");
        if (r.terminal) s.write("q");
        ASSERT_TRUE(r.terminal ? s.read_until("TW_EXIT=0", 5) : wait_for("test -s " + f + ".rc", r.sig ? 5 : 15)) << s.out;
        // Gone with the monitor, well inside its 30-second window.
        EXPECT_TRUE(wait_for("! " + tcpdump_on(dev), 3));
        EXPECT_EQ(sh("ls " + cap + "/burst-*/counters.txt >/dev/null 2>&1"), r.sig ? 2 : 0);
        if (!r.sig) expect_complete_and_private(capture_of(cap, dev));
        sh("rm -rf " + cap + "/burst-*");
        sh(tw_quiet("-1 -D -w twnone0 -l twnone1 >/dev/null 2>&1"));  // removes the instance of a killed monitor
        EXPECT_EQ(sh("test -d " + inst + " || grep -q ^stacktrace /sys/kernel/tracing/events/skb/kfree_skb/trigger"), 1);
    }
    EXPECT_EQ(sh("rmdir " + live), 0);
}

}  // namespace
