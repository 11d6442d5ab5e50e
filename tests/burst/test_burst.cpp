// The burst catcher: trace classification and drop reasons from recorded
// traces, the trigger and ring against a fixture tree, and whole captures on the
// real kernel (tracefs instance, kfree_skb stacks, tcpdump) in a namespace.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>

#include <gtest/gtest.h>

#include "burst/burst_state.hpp"
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

// A fixture tracefs root (no instances there, so the root itself is used) and
// one interface whose tx_dropped the test sets.
class BurstFixture : public testing::Test {
protected:
    CaptureLock lock;
    TempDir root;
    std::vector<std::string> made;

    void SetUp() override
    {
        g_burst_if = "twb0";
        g_burst_pcap = 0;
        root.write("sys/kernel/tracing/events/skb/kfree_skb/trigger", "");
        root.write("sys/kernel/tracing/events/skb/kfree_skb/enable", "0");
        root.write("sys/kernel/tracing/trace", stack({"__dev_queue_xmit"}));
        set_drops(0);
        fsroot_set(root.path.c_str());
        burst_probe();
    }
    void TearDown() override
    {
        for (const std::string &d : made) sh("rm -rf '" + d + "'");
    }
    void set_drops(uint64_t v) { root.write("sys/class/net/twb0/statistics/tx_dropped", std::to_string(v)); }
    // One sample's trigger step; a capture it starts is finished at once.
    void sample(uint64_t drops)
    {
        set_drops(drops);
        burst_detect();
        if (g_burst_state == 1) {
            made.push_back(g_burst_dir);
            burst_finish();
        }
    }
};

TEST_F(BurstFixture, trigger_rules)
{
    const struct {
        std::vector<std::pair<uint64_t, int>> samples;  // tx_dropped, armed
        int64_t delta;  // of the one burst
    } rows[] = {
        {{{100, 1}, {100, 1}, {103, 1}}, 3},
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

TEST_F(BurstFixture, files_ring_and_page)
{
    g_burst_arm = 1;
    sample(100);
    set_drops(140);
    burst_detect();
    ASSERT_EQ(g_burst_state, 1);
    made.push_back(g_burst_dir);
    set_drops(165);  // drops inside the window
    burst_finish();
    EXPECT_EQ(read_whole_file(std::string(g_burst_dir) + "/counters.txt"),
              "iface=twb0 trigger_delta=40 start=140 end=165 window_drops=25\n");
    EXPECT_EQ(g_bursts[0].n_stacks, 1);
    EXPECT_STREQ(g_bursts[0].txpath, "1 __dev_queue_xmit");
    sample(165);  // the window's own drops never trigger again
    EXPECT_EQ(g_n_bursts, 1);

    root.write("sys/kernel/tracing/trace", "no stacks at all\n");
    for (uint64_t i = 2, v = 165; i <= 10; i++) sample(v += i);  // burst i rises by i
    EXPECT_STREQ(g_bursts[1].txpath, "no tx-path frames (hw counter / rx-side only)");
    sb_clear(&PAGES[2]);
    g_color = 0;
    render_burst_page();
    std::string page = PAGES[2].buf;
    EXPECT_NE(page.find("--- caught bursts (newest first, 10 total) ---"), std::string::npos);
    EXPECT_EQ(std::count(page.begin(), page.end(), '+'), 8) << page;
    // newest first: burst 10, then down to burst 3
    EXPECT_LT(page.find("+10 trig, 0 in window, 0 stacks"), page.find("+9 trig")) << page;
    EXPECT_LT(page.find("+4 trig"), page.find("+3 trig")) << page;
}

// /tmp belongs to everyone: a planted symlink or another user's directory at
// the capture's name gets none of root's writes, and the page says so.
TEST_F(BurstFixture, unsafe_capture_directory_is_skipped)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant another user's directory";
    TempDir target;
    for (int link : {1, 0}) {
        const time_t when = 978307200 + getpid() % 100000 + link;
        const std::string name = capture_name(when);
        made.push_back(name);
        ASSERT_EQ(sh(link ? "ln -s " + target.path + " " + name : "mkdir -m 0777 " + name + " && chown nobody " + name), 0);
        burst_begin(4, when);
        burst_finish();
        EXPECT_EQ(sh("ls -A " + target.path + " " + name + " | grep -q txt"), 1) << name;
        EXPECT_STREQ(g_bursts[(g_n_bursts - 1) % BURST_RING].note, "files skipped: directory not ours or not safe");
    }
}

// ---- the real kernel ----

// The monitor in a namespace on a link that drops on transmit (drop_link).
class RealBurst : public testing::Test {
protected:
    CaptureLock lock;
    std::unique_ptr<NetnsGuard> ns;
    std::string dev;
    TempDir t;
    void SetUp() override
    {
        if (!netns_available() || !tracefs_ready() || sh("command -v tcpdump >/dev/null") != 0)
            GTEST_SKIP() << "needs root, network namespaces, a writable tracefs kfree_skb trigger and tcpdump";
        ns = std::make_unique<NetnsGuard>("twburst");
        dev = "tb" + std::to_string(getpid() % 100000);
        ASSERT_TRUE(drop_link(*ns, dev, 77));
    }
    void TearDown() override
    {
        if (!dev.empty()) sh("rm -rf $(grep -l 'iface=" + dev + " ' /tmp/burst-*/counters.txt 2>/dev/null | xargs -r dirname)");
    }
    // Starts the monitor in the background: <f>.pid while it runs, its output in <f>.out,
    // then its exit status in <f>.rc, where f (returned) is tag under the test's directory.
    std::string start(const std::string &opts, const std::string &tag = "m")
    {
        const std::string f = t.path + "/" + tag;
        ns->run("sh -c 'mount -t tracefs nodev /sys/kernel/tracing; " TW_BIN " -k -w " + dev + " -l " + dev +
                " -W /nonexistent -b /nonexistent -B /bin/false " + opts + " </dev/null >" + f + ".out 2>&1 & echo $! >" +
                f + ".pid; wait $!; echo $? >" + f + ".rc' &");
        return f;
    }
    // start, then n drops once the first sample (which only primes the baseline) is past.
    std::string start_dropping(const std::string &opts, int n, const std::string &tag = "m")
    {
        const std::string f = start(opts, tag);
        EXPECT_TRUE(wait_for("test -d " + instance(f), 5));
        usleep(1500000);
        drop_datagrams(*ns, 77, n);
        return f;
    }
    static std::string instance(const std::string &f) { return "/sys/kernel/tracing/instances/tarnwatch-$(cat " + f + ".pid)"; }
    std::string tcpdump_runs() const { return "pgrep -f '[t]cpdump -i " + dev + " ' >/dev/null"; }
};

// A capture in a trace instance grown to hold far more than the copy takes: the
// files hold the burst, the copy keeps its bound, the monitor its samples, and
// tcpdump is stopped at the end of the window.
TEST_F(RealBurst, end_to_end_capture)
{
    // The trace takes every drop of the box: drops on this link fill it without reaching tcpdump's count.
    ASSERT_TRUE(drop_link(*ns, dev + "b", 76));
    const std::string f = start("-i 1 -n 10 -s 3"), inst = instance(f);
    ASSERT_TRUE(wait_for("test -d " + inst, 5));
    ASSERT_EQ(sh("echo 16384 >" + inst + "/buffer_size_kb"), 0);
    usleep(1500000);
    drop_datagrams(*ns, 77, 20);
    ASSERT_TRUE(wait_for(tcpdump_runs(), 5));
    drop_datagrams(*ns, 77, 30);
    const auto t0 = std::chrono::steady_clock::now();
    drop_datagrams(*ns, 76, 40000);
    EXPECT_TRUE(wait_for("! " + tcpdump_runs() + " && ! test -s " + f + ".rc", 8));  // stopped while the monitor runs
    ASSERT_TRUE(wait_for("test -s " + f + ".rc", 25));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    EXPECT_EQ(read_whole_file(f + ".rc"), "0\n");
    EXPECT_GE(paints(read_whole_file(f + ".out"), 0), 10u);

    const std::string dir =
        sh_out("grep -l 'iface=" + dev + " ' /tmp/burst-*/counters.txt | head -1 | xargs dirname | tr -d '\\n'");
    ASSERT_FALSE(dir.empty());
    std::string stacks = read_whole_file(dir + "/stacks.txt");
    EXPECT_GT(stacks.size(), 4194303u);  // the trace held more than the copy takes
    EXPECT_LE(stacks.size(), 4194303u + 65536);
    EXPECT_NE(stacks.find("=> __dev_queue_xmit"), std::string::npos);
    EXPECT_NE(read_whole_file(dir + "/reasons.txt").find(" NOT_SPECIFIED "), std::string::npos);
    EXPECT_EQ(sh("test -s " + dir + "/burst.pcap"), 0);
    const std::string drops = ns->out("cat /sys/class/net/" + dev + "/statistics/tx_dropped | tr -d '\\n'");
    EXPECT_NE(read_whole_file(dir + "/counters.txt").find(" end=" + drops + " "), std::string::npos) << drops;
}

// However the monitor is ended during a capture, nothing of it stays behind;
// an instance of a killed monitor is removed by the next one, and only that one.
TEST_F(RealBurst, every_ending_during_a_capture_cleans_up)
{
    const time_t began = time(nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, 0, SIGKILL}) {  // 0: the sample count is reached
        const std::string f = start_dropping(sig ? "-i 1 -s 30" : "-i 1 -s 30 -n 10", 5, "sig" + std::to_string(sig));
        const std::string inst = instance(f);
        ASSERT_TRUE(wait_for(tcpdump_runs() + " && grep -q ^stacktrace " + inst + "/events/skb/kfree_skb/trigger", 5)) << sig;
        if (sig) sh("kill -" + std::to_string(sig) + " $(cat " + f + ".pid)");
        ASSERT_TRUE(wait_for("test -s " + f + ".rc", sig ? 5 : 15)) << sig;
        if (sig == SIGKILL) {
            sh("pkill -f '[t]cpdump -i " + dev + " '");
            EXPECT_EQ(sh("test -d " + inst), 0);
            const std::string other = instance(start("-i 1", "other"));  // a second, running monitor keeps its own
            ASSERT_TRUE(wait_for("test -d " + other, 5));
            sh(TW_BIN " -1 -D -w twnone0 -l twnone1 -W /nonexistent -b /nonexistent -B /bin/false >/dev/null 2>&1");
            EXPECT_EQ(sh("test -d " + inst), 1) << "instance of the killed monitor left";
            EXPECT_EQ(sh("test -d " + other), 0);
            sh("kill $(cat " + t.path + "/other.pid)");
            EXPECT_TRUE(wait_for("! test -d " + other, 5));
            continue;
        }
        EXPECT_TRUE(wait_for("! " + tcpdump_runs(), 3)) << sig;
        EXPECT_EQ(sh("test -d " + inst), 1) << sig;
        EXPECT_EQ(sh("grep -q ^stacktrace /sys/kernel/tracing/events/skb/kfree_skb/trigger"), 1) << sig;
    }
    // The captures cut short keep their packets but no counters file; captures
    // take turns, so every one named in this test's time is one of them.
    for (time_t when = began; when <= time(nullptr); when++) sh("rm -rf " + capture_name(when));
}

// Another user's directories wait at every name the next captures could take.
TEST_F(RealBurst, planted_capture_directories_get_nothing)
{
    std::vector<std::string> planted;
    for (time_t when = time(nullptr), end = when + 20; when < end; when++) {
        const std::string p = capture_name(when);
        if (sh("mkdir -m 0777 " + p + " 2>/dev/null && chown nobody " + p) == 0) planted.push_back(p);
    }
    const std::string f = start_dropping("-M -P -i 1 -s 3 -n 8", 30);
    ASSERT_TRUE(wait_for("test -s " + f + ".rc", 20));
    EXPECT_EQ(read_whole_file(f + ".rc"), "0\n");
    EXPECT_NE(read_whole_file(f + ".out").find("BURST +"), std::string::npos);  // a capture did start
    // Through cat: with no counters file anywhere the pattern stays unexpanded and grep fails with 2.
    EXPECT_EQ(sh("cat /tmp/burst-*/counters.txt 2>/dev/null | grep -q 'iface=" + dev + " '"), 1);
    for (const std::string &p : planted) {
        EXPECT_EQ(sh("test -z \"$(ls -A " + p + ")\""), 0) << p;
        rmdir(p.c_str());
    }
}

}  // namespace
