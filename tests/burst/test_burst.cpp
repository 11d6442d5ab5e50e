// The burst catcher: trace classification and drop reasons from recorded
// traces, the trigger and ring against a fixture tree, and whole captures on the
// real kernel (tracefs instance, kfree_skb stacks, tcpdump) in a namespace.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sys/stat.h>
#include <memory>
#include <set>
#include <unistd.h>

#include <gtest/gtest.h>

#include "burst/burst_state.hpp"
#include "burst/burst_store.hpp"
#include "burst/trace_classify.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "hardening/hardening_rig.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"

namespace {

std::string stack(std::initializer_list<const char *> frames)
{
    std::string s = "  ping-12 [001] ..s1.  1.0: <stack trace>\n";
    for (const char *f : frames) s += std::string(" => ") + f + "\n";
    return s;
}

// /tmp/burst-<local time of when>, the name a capture at that second takes.
std::string capture_name(time_t when)
{
    char stamp[40];
    tm lt{};
    std::strftime(stamp, sizeof stamp, "/tmp/burst-%Y%m%d-%H%M%S", localtime_r(&when, &lt));
    return stamp;
}

// Stack count, transmit-path summary and reasons file of one trace.
TEST(burst_trace, stacks_and_drop_reasons)
{
    const std::string ev = "  ping-1 [000] ..s1. 2.0: kfree_skb: skbaddr=0000 rx_sk=0000 protocol=2048 location=";
    const std::string xmit = stack({"i40e_xmit_frame", "i40e_lan_xmit", "__dev_queue_xmit+0x1"});
    std::string many, top20;  // fn0 once ... fn29 thirty times: the file keeps the top 20
    for (int i = 0; i < 30; i++)
        for (int k = 0; k <= i; k++) many += ev + "fn" + std::to_string(i) + "+0x1/0x2 reason: R\n";
    for (int i = 29; i >= 10; i--) top20 += std::to_string(i + 1) + " R fn" + std::to_string(i) + "\n";
    const struct {
        std::string trace;
        int32_t stacks;
        const char *txpath;
        std::string reasons;
    } rows[] = {
        {xmit + xmit + xmit, 3, "6 i40e_, 3 __dev_queue_xmit", ""},
        // ties go to the earlier frame of the table
        {stack({"sch_direct_xmit", "__dev_queue_xmit"}), 1, "1 __dev_queue_xmit, 1 sch_direct_xmit", ""},
        // only the three largest of four; a frame counts for its first prefix only
        {stack({"fq_dequeue", "fq_enqueue", "fq_x", "fq_y", "ip_output", "ip_output", "ip_output", "arp_solicit",
                "arp_solicit", "qdisc_drop"}),
         1, "4 fq_, 3 ip_output, 2 arp_solicit", ""},
        {stack({"kfree_skb_reason", "udp_rcv", "ip_local_deliver"}) + "=>ip_output\n", 1, "", ""},
        {ev + "__dev_forward_skb2+0x89/0x200 reason: NOT_SPECIFIED\n" + ev + "ip6_mc_input+0xd4/0x100 reason: NOT_SPECIFIED\n" +
             ev + "ip6_mc_input+0xd4/0x100 reason: NOT_SPECIFIED\n => ip6_mc_input\n",
         0, "", "2 NOT_SPECIFIED ip6_mc_input\n1 NOT_SPECIFIED __dev_forward_skb2\n"},
        {ev + "0xffffffff81a2b3c4\n", 0, "", "1 - 0xffffffff81a2b3c4\n"},  // older kernels: no reason, a bare address
        {ev + "f\x1b[2J+0x1/0x2 reason: X\x9b\n", 0, "", "1 X? f?[2J\n"},   // trace bytes never land in the file raw
        {many, 0, "", top20},
    };
    for (const auto &r : rows) {
        StackTally st;
        static ReasonTally rt;
        rt = ReasonTally{};
        trace_classify_text(r.trace, &st, &rt);
        char txpath[192], *buf = nullptr;
        txpath_summary(st, txpath, sizeof txpath);
        size_t len = 0;
        FILE *f = open_memstream(&buf, &len);
        reasons_write(&rt, f);
        std::fclose(f);
        EXPECT_EQ(st.n_stacks, r.stacks);
        EXPECT_STREQ(txpath, r.txpath);
        EXPECT_EQ(std::string(buf, len), r.reasons);
        std::free(buf);
    }
}

// A fixture tracefs root with the monitor's own instance, whose trace still holds
// an earlier burst's stack; one interface whose tx_dropped the test sets, and a
// capture parent of the test's own.
class BurstFixture : public testing::Test {
protected:
    TempDir root, cap;
    const std::string inst = "sys/kernel/tracing/instances/tarnwatch-" + std::to_string(getpid());
    std::string window_trace = stack({"__dev_queue_xmit"});  // what the kernel traces during a window

    void SetUp() override
    {
        g_burst_if = g_lan = "twb0";
        g_burst_if_fixed = 1;
        g_burst_pcap = 0;
        g_burst_budget_mib = 64;
        root.write("sys/kernel/tracing/events/skb/kfree_skb/trigger", "");
        root.write("sys/kernel/tracing/events/skb/kfree_skb/enable", "0");
        root.write(inst + "/events/skb/kfree_skb/trigger", "");
        root.write(inst + "/events/skb/kfree_skb/enable", "0");
        root.write(inst + "/trace", stack({"stale_xmit", "__dev_queue_xmit"}));
        set_drops(0);
        fsroot_set(root.path.c_str());
        burst_probe();
        store_parent_set(cap.path.c_str());
    }
    void set_drops(uint64_t v, const char *dev = "twb0")
    {
        root.write(std::string("sys/class/net/") + dev + "/statistics/tx_dropped", std::to_string(v));
    }
    void window() { std::ofstream(root.path + "/" + inst + "/trace", std::ios::app) << window_trace; }
    // One sample's trigger step; a capture it starts is finished at once.
    void sample(uint64_t drops)
    {
        set_drops(drops);
        burst_detect();
        if (g_burst_state == 1) window(), burst_finish();
    }
    std::string page()
    {
        sb_clear(&PAGES[2]);
        g_color = 0;
        render_burst_page();
        return PAGES[2].buf;
    }
};

TEST_F(BurstFixture, trigger_rules)
{
    const struct {
        std::vector<std::pair<uint64_t, int>> samples;  // tx_dropped, armed
        int64_t delta;  // of the one burst
    } rows[] = {
        {{{100, 1}, {100, 1}, {103, 1}}, 3},
        {{{100, 1}, {100, 1}, {101, 1}}, 1},                // a single drop is a burst
        {{{100, 1}, {90, 1}, {95, 1}}, 5},                  // backwards: the lower value is the baseline
        {{{100, 1}, {110, 0}, {120, 0}, {125, 1}}, 25},     // drops while disarmed trigger at once
    };
    for (const auto &r : rows) {
        g_n_bursts = g_burst_prev_ok = 0;
        for (auto [v, arm] : r.samples) {
            g_burst_arm = arm;
            sample(v);
        }
        EXPECT_EQ(g_n_bursts, 1);
        EXPECT_EQ(g_bursts[0].trigger_delta, r.delta);
    }
}

// Page 4 makes twb1 (more drops so far) the LAN: without -I the catcher moves
// there with a fresh baseline, with -I it stays; either way one burst of 3.
TEST_F(BurstFixture, follows_the_lan_unless_named)
{
    for (int fixed : {0, 1}) {
        g_burst_if = g_lan = "twb0";
        g_burst_if_fixed = fixed;
        g_n_bursts = g_burst_prev_ok = 0;
        set_drops(500, "twb1");
        sample(100);
        g_lan = "twb1";
        sample(100);
        set_drops(503, "twb1");
        sample(103);
        EXPECT_EQ(g_n_bursts, 1) << fixed;
        const std::string counters = read_whole_file(std::string(g_bursts[0].dir) + "/counters.txt");
        EXPECT_NE(counters.find(fixed ? "=twb0 " : "=twb1 "), std::string::npos);
    }
}

TEST_F(BurstFixture, files_ring_and_page)
{
    g_burst_arm = 1;
    g_n_bursts = g_burst_prev_ok = 0;
    sample(100);
    set_drops(140);
    burst_detect();
    ASSERT_EQ(g_burst_state, 1);
    window();
    set_drops(165);  // drops inside the window
    burst_finish();
    const std::string dir = g_bursts[0].dir;
    EXPECT_EQ(read_whole_file(dir + "/counters.txt"), "iface=twb0 trigger_delta=40 start=140 end=165 window_drops=25\n");
    EXPECT_EQ(g_bursts[0].n_stacks, 1);
    EXPECT_STREQ(g_bursts[0].txpath, "1 __dev_queue_xmit");
    EXPECT_NE(page().find(dir + "/{stacks.txt,reasons.txt,counters.txt}"), std::string::npos) << page();
    sample(165);  // the window's own drops never trigger again
    EXPECT_EQ(g_n_bursts, 1);

    window_trace = "no stacks at all\n";
    for (uint64_t i = 2, v = 165; i <= 10; i++) sample(v += i);  // burst i rises by i
    EXPECT_STREQ(g_bursts[1].txpath, "no tx-path frames (hw counter / rx-side only)");
    std::string p = page();
    EXPECT_NE(p.find("--- caught bursts (newest first, 10 total) ---"), std::string::npos);
    EXPECT_EQ(std::count(p.begin(), p.end(), '+'), 8) << p;
    // newest first: burst 10, then down to burst 3
    EXPECT_LT(p.find("+10 trig, 0 in window, 0 stacks"), p.find("+9 trig")) << p;
    EXPECT_LT(p.find("+4 trig"), p.find("+3 trig")) << p;
    // b shows on the page at once, not at the next sample.
    burst_toggle_arm();
    EXPECT_NE(std::string(PAGES[2].buf).find("armed: no "), std::string::npos);
    burst_toggle_arm();
    EXPECT_NE(std::string(PAGES[2].buf).find("armed: YES "), std::string::npos);
}

// Two captures in the same second, and names planted at what the next capture
// could be called (a symlink, another user's open directory): each capture
// gets a fresh directory of its own, and none of root's or tcpdump's writes go
// elsewhere (the stand-in tcpdump writes where -w says).
TEST_F(BurstFixture, every_capture_gets_a_directory_of_its_own)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant another user's directory";
    TempDir target;
    g_burst_pcap = 1;
    chmod(root.write("bin/tcpdump", "#!/bin/sh\nwhile [ $# -gt 1 ]; do [ \"$1\" = -w ] && w=$2; shift; done\n"
                                    "if [ \"$w\" = - ]; then echo PCAP; else echo PCAP >\"$w\"; fi\n").c_str(), 0755);
    const std::string path = getenv("PATH");
    setenv("PATH", (root.path + "/bin:" + path).c_str(), 1);
    const time_t when = 978307200;
    const std::string prefix = cap.path + capture_name(when).substr(4);  // "/tmp" off
    ASSERT_EQ(sh("chmod 1777 " + cap.path + " && ln -s " + target.path + " " + prefix +
                 " && runuser -u nobody -- mkdir -m 0777 " + prefix + "-AAAAAA"), 0);
    std::set<std::string> dirs;
    for (int i = 0; i < 3; i++) {
        burst_begin(4, when);
        burst_finish();
        const BurstEntry &e = g_bursts[(g_n_bursts - 1) % BURST_RING];
        EXPECT_STREQ(e.note, "");
        EXPECT_EQ(std::string(e.dir).substr(0, prefix.size() + 1), prefix + "-");
        EXPECT_EQ(sh(std::string("test -s ") + e.dir + "/counters.txt"), 0) << e.dir;
        EXPECT_EQ(read_whole_file(std::string(e.dir) + "/burst.pcap"), "PCAP\n");
        dirs.insert(e.dir);
    }
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(dirs.size(), 3u);
    EXPECT_EQ(sh("test -z \"$(ls -A " + target.path + ")$(ls -A " + prefix + "-AAAAAA)\""), 0);
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

// The monitor in a namespace on a link that drops on transmit (drop_link),
// writing its captures under the test's own directory (open to all, as /tmp is).
class RealBurst : public testing::Test {
protected:
    std::unique_ptr<NetnsGuard> ns;
    std::string dev, cap;
    TempDir t;
    void SetUp() override
    {
        if (!netns_available() || !tracefs_ready() || sh("command -v tcpdump >/dev/null && command -v runuser >/dev/null"))
            GTEST_SKIP() << "needs root, network namespaces, a writable tracefs kfree_skb trigger, tcpdump and runuser";
        ns = std::make_unique<NetnsGuard>("twburst");
        dev = "tb" + std::to_string(getpid() % 100000);
        ASSERT_TRUE(drop_link(*ns, dev, 77));
        cap = t.mkdir("cap");
        ASSERT_EQ(sh("chmod 755 " + t.path + " && chmod 1777 " + cap), 0);
    }
    // Writes <f>.sh, which runs the monitor in the namespace (its pid in <f>.pid),
    // and returns f (tag under the test's directory).
    std::string script(const std::string &opts, const std::string &tag)
    {
        const std::string f = t.path + "/" + tag;
        t.write(tag + ".sh", "mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null\necho $$ >" + f +
                                 ".pid\nexec env TARNWATCH_TEST_CAPTURE_DIR=" + cap + " " +
                                 tw_quiet("-M -w " + dev + " -l " + dev + " " + opts) + "\n");
        return f;
    }
    // In the background with -k: its output in <f>.out, then its exit status in <f>.rc.
    std::string start(const std::string &opts, const std::string &tag = "m")
    {
        const std::string f = script("-k " + opts, tag);
        ns->run("sh -c 'sh " + f + ".sh </dev/null >" + f + ".out 2>&1; echo $? >" + f + ".rc' &");
        return f;
    }
    // On a terminal, keys read; "TW_EXIT=<status>" follows its end.
    std::string start_on(PtySession &s, const std::string &opts, const std::string &tag)
    {
        const std::string f = script(opts, tag);
        EXPECT_TRUE(s.start({"/bin/sh", "-c", ("ip netns exec " + ns->name + " sh " + f + ".sh; echo TW_EXIT=$?").c_str()}));
        return f;
    }
    static std::string instance(const std::string &f)
    {
        return "/sys/kernel/tracing/instances/tarnwatch-$(cat " + f + ".pid 2>/dev/null)";
    }
    std::string tcpdump_runs() const { return "pgrep -f '[t]cpdump -i " + dev + " ' >/dev/null"; }
    // The capture directories holding a counters file of interface d.
    std::vector<std::string> captures_of(const std::string &d)
    {
        std::vector<std::string> v;
        const std::string out = sh_out("grep -l 'iface=" + d + " ' " + cap + "/burst-*/counters.txt 2>/dev/null");
        for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
            v.push_back(out.substr(at, nl - at - 13));  // without "/counters.txt"
        return v;
    }
};

// What a finished capture holds: the kernel's stacks and reasons, the counters
// up to the end of the window, a pcap that tcpdump reads back; every file root's
// alone, and an unprivileged user can read none of them.
void expect_complete_and_private(const std::string &dir, const std::string &dev, const std::string &ns)
{
    EXPECT_NE(read_whole_file(dir + "/stacks.txt").find("=> __dev_queue_xmit"), std::string::npos) << dir;
    EXPECT_NE(read_whole_file(dir + "/reasons.txt").find(" NOT_SPECIFIED "), std::string::npos) << dir;
    const std::string drops = sh_out("ip netns exec " + ns + " cat /sys/class/net/" + dev + "/statistics/tx_dropped");
    EXPECT_NE(read_whole_file(dir + "/counters.txt").find(" end=" + drops.substr(0, drops.size() - 1) + " "), std::string::npos);
    EXPECT_EQ(sh("tcpdump -r " + dir + "/burst.pcap -n 2>/dev/null | grep -q ' > 10\\.'"), 0) << dir;
    EXPECT_EQ(sh_out("stat -c '%a %U' " + dir + " " + dir + "/*"), "700 root\n600 root\n600 root\n600 root\n600 root\n");
    EXPECT_NE(sh("runuser -u nobody -- ls " + dir + " >/dev/null 2>&1"), 0);
    sh("chmod 755 " + dir);  // the files themselves, with the directory opened
    for (const char *f : {"stacks.txt", "reasons.txt", "counters.txt", "burst.pcap"})
        EXPECT_NE(sh("runuser -u nobody -- cat " + dir + "/" + f + " >/dev/null 2>&1"), 0) << f;
}

// A capture in a trace instance grown to hold far more than the copy takes: the
// files hold the burst, the copy keeps its bound, the monitor its samples, and
// tcpdump is stopped at the end of the window. A second monitor bursts on the
// other link meanwhile, into a directory of its own.
TEST_F(RealBurst, end_to_end_capture)
{
    // The trace takes every drop of the box: drops on this link fill it without reaching tcpdump's count.
    ASSERT_TRUE(drop_link(*ns, dev + "b", 76));
    for (time_t when = time(nullptr), end = when + 60; when < end; when++)  // another user's, for the next minute
        sh("runuser -u nobody -- mkdir -m 0777 " + cap + capture_name(when).substr(4));
    const std::string f = start("-i 1 -n 10 -s 3"), inst = instance(f), g = start("-i 1 -n 8 -I " + dev + "b", "b");
    // The monitor sizes its instance's ring first; the test then grows it.
    // 512 KiB, rounded up to whole pages
    ASSERT_TRUE(wait_for("test 0$(cat " + inst + "/buffer_size_kb 2>/dev/null) -le 520 && test -d " + inst, 5));
    ASSERT_EQ(sh("echo 16384 >" + inst + "/buffer_size_kb"), 0);
    usleep(1500000);
    drop_datagrams(*ns, 77, 20);
    ASSERT_TRUE(wait_for(tcpdump_runs(), 5));
    drop_datagrams(*ns, 77, 30);
    const auto t0 = std::chrono::steady_clock::now();
    // Drops until the window ends: a loaded machine sends fewer of them a second.
    for (int i = 0; i < 40 && sh(tcpdump_runs()) == 0; i++) drop_datagrams(*ns, 76, 4000);
    EXPECT_TRUE(wait_for("! " + tcpdump_runs() + " && ! test -s " + f + ".rc", 8));  // stopped while the monitor runs
    ASSERT_TRUE(wait_for("test -s " + f + ".rc", 25));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    EXPECT_EQ(read_whole_file(f + ".rc"), "0\n");
    EXPECT_GE(paints(read_whole_file(f + ".out"), 0), 10u);

    const std::vector<std::string> dirs = captures_of(dev);
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_TRUE(wait_for("test -s " + g + ".rc", 10));
    EXPECT_EQ(captures_of(dev + "b").size(), 1u);
    // Nothing in what was planted (the names without the suffix).
    EXPECT_EQ(sh_out("find " + cap + " -mindepth 2 ! -path '*/burst-*-*-*/*'"), "");
    std::string stacks = read_whole_file(dirs[0] + "/stacks.txt");
    EXPECT_GT(stacks.size(), 4194303u);  // the trace held more than the copy takes
    EXPECT_LE(stacks.size(), 4194303u + 65536);
    expect_complete_and_private(dirs[0], dev, ns->name);
}

// However the monitor is ended during a capture, nothing of it stays behind: a
// normal end (q, the sample count) first writes the capture's files, a signal
// ends it at once as before, and tcpdump dies with a monitor killed outright.
// An instance of a killed monitor is removed by the next one, and only that one.
TEST_F(RealBurst, every_ending_during_a_capture_cleans_up)
{
    const struct {
        const char *name;
        int sig;        // 0: the sample count is reached or q is typed
        bool terminal;  // on a terminal, ended with q
    } rows[] = {{"SIGINT", SIGINT, false}, {"SIGTERM", SIGTERM, false}, {"SIGHUP", SIGHUP, false},
                {"SIGQUIT", SIGQUIT, false}, {"count", 0, false}, {"q", 0, true}, {"SIGKILL", SIGKILL, false}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        PtySession s;
        const std::string opts = std::string("-i 1 -s 30") + (r.sig || r.terminal ? "" : " -n 10");
        const std::string f = r.terminal ? start_on(s, opts, r.name) : start(opts, r.name), inst = instance(f);
        EXPECT_TRUE(wait_for("test -d " + inst, 5));
        usleep(1500000);  // the first sample only primes the baseline
        drop_datagrams(*ns, 77, 5);
        ASSERT_TRUE(wait_for(tcpdump_runs() + " && grep -q ^stacktrace " + inst + "/events/skb/kfree_skb/trigger", 5));
        drop_datagrams(*ns, 77, 5);
        if (r.sig) sh("kill -" + std::to_string(r.sig) + " $(cat " + f + ".pid)");
        if (r.terminal) {
            s.write("q");
            ASSERT_TRUE(s.read_until("TW_EXIT=0", 5)) << s.out.substr(s.sent_at);
        } else {
            ASSERT_TRUE(wait_for("test -s " + f + ".rc", r.sig ? 5 : 15));
        }
        // Gone with the monitor, well inside its 30-second window.
        EXPECT_TRUE(wait_for("! " + tcpdump_runs(), 3));
        const std::vector<std::string> done = captures_of(dev);
        EXPECT_EQ(done.size(), r.sig ? 0u : 1u);
        if (!r.sig && done.size() == 1) expect_complete_and_private(done[0], dev, ns->name);
        sh("rm -rf " + cap + "/burst-*");
        if (r.sig == SIGKILL) {
            EXPECT_EQ(sh("test -d " + inst), 0);
            const std::string other = instance(start("-i 1", "other"));  // a second, running monitor keeps its own
            ASSERT_TRUE(wait_for("test -d " + other, 5));
            sh(tw_quiet("-1 -D -w twnone0 -l twnone1 >/dev/null 2>&1"));
            EXPECT_EQ(sh("test -d " + inst), 1) << "instance of the killed monitor left";
            EXPECT_EQ(sh("test -d " + other), 0);
            sh("kill $(cat " + t.path + "/other.pid)");
            EXPECT_TRUE(wait_for("! test -d " + other, 5));
            continue;
        }
        EXPECT_EQ(sh("test -d " + inst), 1);
        EXPECT_EQ(sh("grep -q ^stacktrace /sys/kernel/tracing/events/skb/kfree_skb/trigger"), 1);
    }
}

// Under steady drops a run whose budget is spent still catches and counts
// every burst, says on page 3 why no files were written, and wrote no more.
TEST_F(RealBurst, spent_budget_stops_files_not_bursts)
{
    PtySession s;
    const std::string f = start_on(s, "-i 1 -s 1 --burst-budget 6", "budget");
    ASSERT_TRUE(s.read_until("=== UDP underlay ===", 10)) << s.out;
    s.write("3");
    EXPECT_TRUE(wait_for("test -d " + instance(f), 5));
    for (int i = 0; i < 14; i++, usleep(500000)) drop_datagrams(*ns, 77, 200);  // seven seconds of drops
    ASSERT_TRUE(s.read_until("files skipped: ", 8)) << s.out.substr(s.sent_at);
    s.write("q");
    ASSERT_TRUE(s.read_until("TW_EXIT=0", 5)) << s.out.substr(s.sent_at);
    const size_t at = s.out.rfind("--- caught bursts (newest first, ");
    ASSERT_NE(at, std::string::npos);
    const int dirs = std::stoi(sh_out("ls -d " + cap + "/burst-* | wc -l"));
    EXPECT_GT(dirs, 0);
    EXPECT_GT(std::atoi(s.out.c_str() + at + 33), dirs);
    EXPECT_LE(std::stoull(sh_out("du -sb " + cap + " | cut -f1")), 6ull << 20);
}

}  // namespace
