// Page 4 in the real monitor on a real terminal (tmux), against the real
// moatwalld with its XDP gate on a veth pair.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

#include "support/gate_rig.hpp"

namespace {

void nap(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The monitor in the gate's namespace, on page 4, in a tmux server of our own
// so parallel tests never share sessions.
struct LivePage : ::testing::Test {
    std::unique_ptr<GateRig> rig;
    std::string tmux = "tmux -L tw_mw_" + std::to_string(getpid()) + " ";
    bool started = false;
    void SetUp() override
    {
        if (std::string why = gate_skip_reason(); !why.empty()) GTEST_SKIP() << why;
        if (sh("command -v tmux >/dev/null") != 0) GTEST_SKIP() << "tmux not installed";
        rig = std::make_unique<GateRig>();
        ASSERT_TRUE(rig->start());
        std::string cmd = "ip netns exec " + rig->gw.name + " env TARNWATCH_TEST_MW_SOCK=" + rig->bpf.sock +
                          " TARNWATCH_TEST_MW_PINS=" + rig->bpf.pindir + " " TW_BIN +
                          " -i 1 -W /nonexistent -b /nonexistent -B /bin/false -D -l none0 -C -w gw0";
        started = sh(tmux + "new-session -d -s tw -x 170 -y 70 '" + cmd + "'") == 0;
        keys("4");
        ASSERT_TRUE(wait_for("daemon: up")) << screen();
    }
    void TearDown() override
    {
        if (started) sh(tmux + "kill-server >/dev/null 2>&1");
    }
    void keys(const std::string &k) const { sh(tmux + "send-keys -t tw " + k); }
    void type(const std::string &text) const { sh(tmux + "send-keys -t tw -l '" + text + "'"); }
    std::string screen() const { return sh_out(tmux + "capture-pane -p -t tw"); }
    bool shows(const std::string &text) const { return screen().find(text) != std::string::npos; }
    // Wide: on a loaded machine a key's exchanges and one sample's tool runs
    // can together take several seconds.
    bool wait_for(const std::string &text) const
    {
        for (auto t0 = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10); nap(100))
            if (shows(text)) return true;
        return false;
    }
};

// One monitor over one gate, checks in sequence: the prompts and menus while
// the lists are empty, then real drops, a daemon restart, and seeding.
TEST_F(LivePage, PromptsDropsRestartAndSeed)
{
    type("a1");  // 1 is typed, not a page switch
    ASSERT_TRUE(wait_for("block prefix (a.b.c.d/len or x:x::/len): 1_")) << screen();
    keys("Escape");
    ASSERT_TRUE(wait_for("tab=pane")) << screen();
    type("fq");  // q closes the menu and does not quit
    nap(1500);
    EXPECT_FALSE(shows("drop which dport?")) << screen();
    EXPECT_TRUE(shows("MOATWALL")) << "monitor still running: " << screen();
    type("fjjjjjjj");
    keys("Enter");
    ASSERT_TRUE(wait_for("custom dport: _")) << screen();
    keys("Enter");  // port 0: the daemon's refusal is the message
    EXPECT_TRUE(wait_for(">> port must be 1 to 65535, not 0")) << screen();
    type("x");
    EXPECT_TRUE(wait_for(">> nothing selected")) << screen();
    type("i");  // veth devices are not device-backed
    EXPECT_TRUE(wait_for("(no physical NICs found?)")) << screen();
    keys("Escape");

    type("A");
    ASSERT_TRUE(wait_for("ATTACHED")) << screen();
    EXPECT_EQ(rig->udp("11.77.0.2", 23, 20), 20);
    ASSERT_TRUE(wait_for("/1s)")) << screen();  // growth over the interval given with -i
    type("f");
    keys("Enter");  // the telnet row
    ASSERT_TRUE(wait_for(">> dropping WAN dport 23 at XDP")) << screen();
    EXPECT_EQ(rig->udp("11.77.0.2", 23, 20), 0);
    EXPECT_EQ(rig->udp("11.77.0.2", 9999, 20), 20);
    EXPECT_TRUE(wait_for("dropped dport  20")) << screen();
    type("a11.77.2.2/32");
    keys("Enter");
    ASSERT_TRUE(wait_for(">> dropping src 11.77.2.2/32 at XDP")) << screen();
    EXPECT_EQ(rig->udp("11.77.2.2", 9999, 10), 0);
    EXPECT_EQ(rig->udp("11.77.0.2", 9999, 10), 10);
    EXPECT_TRUE(wait_for("dropped src    10")) << screen();

    // The page's lists are the kernel's, as bpftool reads them.
    EXPECT_EQ(rig->prefixes(), std::vector<std::string>{"11.77.2.2/32"});
    EXPECT_EQ(rig->ports(), std::vector<std::string>{"23"});
    for (const char *s : {"--- drop prefixes (1)", " 11.77.2.2/32", "--- drop dports (1)", " 23 telnet scan"})
        EXPECT_TRUE(wait_for(s)) << s << "\n" << screen();

    rig->stop(SIGTERM);  // the pins stay readable
    ASSERT_TRUE(wait_for("daemon: DOWN")) << screen();
    EXPECT_TRUE(shows("(control offline - service moatwall start; pinned maps still readable below)"));
    EXPECT_TRUE(shows("dropped src    10")) << screen();
    ASSERT_TRUE(rig->start());
    ASSERT_TRUE(wait_for("daemon: up")) << screen();
    EXPECT_TRUE(shows(" 11.77.2.2/32") && shows(" 23 telnet scan")) << "same lists after a restart: " << screen();

    type("R");  // 14 IPv4 and 7 IPv6 bogons beside the one prefix
    ASSERT_TRUE(wait_for(">> bogons seeded")) << screen();
    EXPECT_TRUE(wait_for("--- drop prefixes (22)")) << screen();
    nap(2500);  // two more samples
    EXPECT_TRUE(shows(">> bogons seeded")) << screen();
}

}  // namespace
