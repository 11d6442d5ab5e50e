// Page 4 in the real monitor on a real terminal (tmux), against the real
// moatwalld with its XDP gate on a veth pair; and one render's cost.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

#include "core/screen.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"
#include "support/gate_rig.hpp"

namespace {

// One tmux server of our own, so parallel tests never share sessions.
struct Tmux {
    std::string sock = "tw_mw_" + std::to_string(getpid());
    bool started = false;
    std::string tm(const std::string &args) const { return "tmux -L " + sock + " " + args; }
    ~Tmux()
    {
        if (started) sh(tm("kill-server >/dev/null 2>&1"));
    }
    void keys(const std::string &k) const { sh(tm("send-keys -t tw " + k)); }
    void type(const std::string &text) const { sh(tm("send-keys -t tw -l '" + text + "'")); }
    std::string screen(bool colour = false) const
    {
        return sh_out(tm(std::string("capture-pane -p ") + (colour ? "-e " : "") + "-t tw"));
    }
    bool shows(const std::string &text) const { return screen().find(text) != std::string::npos; }
    bool wait_for(const std::string &text, double secs = 4) const
    {
        for (auto t0 = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - t0 < std::chrono::duration<double>(secs);
             std::this_thread::sleep_for(std::chrono::milliseconds(100)))
            if (shows(text)) return true;
        return false;
    }
};

struct LivePage : ::testing::Test {
    std::unique_ptr<GateRig> rig;
    Tmux t;
    void SetUp() override
    {
        if (std::string why = gate_skip_reason(); !why.empty()) GTEST_SKIP() << why;
        if (sh("command -v tmux >/dev/null") != 0) GTEST_SKIP() << "tmux not installed";
        rig = std::make_unique<GateRig>();
        ASSERT_TRUE(rig->start());
    }
    // The monitor in the gate's namespace, on page 4.
    void launch(const std::string &opts)
    {
        std::string cmd = "ip netns exec " + rig->gw.name + " env TARNWATCH_TEST_MW_SOCK=" + rig->bpf.sock +
                          " TARNWATCH_TEST_MW_PINS=" + rig->bpf.pindir + " " TW_BIN +
                          " -i 1 -W /nonexistent -b /nonexistent -B /bin/false -D -l none0" + opts;
        t.started = sh(t.tm("new-session -d -s tw -x 170 -y 70 '" + cmd + "'")) == 0;
        t.keys("4");
        ASSERT_TRUE(t.wait_for("daemon: up")) << t.screen();
    }
};

TEST_F(LivePage, PromptsMenusAndMessages)
{
    launch(" -M -w gw0");
    t.type("a1");  // 1 is typed, not a page switch
    ASSERT_TRUE(t.wait_for("block prefix (a.b.c.d/len): 1_")) << t.screen();
    t.keys("Escape");
    ASSERT_TRUE(t.wait_for("tab=pane"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(t.shows("block prefix")) << t.screen();
    t.type("fq");  // q closes the menu and does not quit
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(t.shows("drop which dport?")) << t.screen();
    EXPECT_TRUE(t.shows("MOATWALL")) << "monitor still running: " << t.screen();
    t.type("fjjjjjjj");
    t.keys("Enter");
    ASSERT_TRUE(t.wait_for("custom dport: _")) << t.screen();
    t.keys("Enter");  // port 0: the daemon's refusal is the message
    EXPECT_TRUE(t.wait_for(">> port must be 1 to 65535, not 0")) << t.screen();
    t.type("x");
    EXPECT_TRUE(t.wait_for(">> nothing selected")) << t.screen();
    t.type("i");  // veth devices are not device-backed
    EXPECT_TRUE(t.wait_for("(no physical NICs found?)")) << t.screen();
    t.keys("Escape");
    t.type("R");
    ASSERT_TRUE(t.wait_for(">> bogons seeded")) << t.screen();
    EXPECT_TRUE(t.wait_for("--- drop prefixes (14)")) << t.screen();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two more samples
    EXPECT_TRUE(t.shows(">> bogons seeded")) << t.screen();
}

TEST_F(LivePage, DropsShowOnThePageAndMatchTheMaps)
{
    launch(" -C -w gw0");
    t.type("A");
    ASSERT_TRUE(t.wait_for("ATTACHED")) << t.screen();
    EXPECT_EQ(rig->udp("11.77.0.2", 23, 20), 20);
    // tmux re-encodes the colours: yellow (33) on the passed line, with its growth figure
    ASSERT_TRUE(t.wait_for("/1s)")) << t.screen();
    std::string col = t.screen(true);
    size_t at = col.find("passed ");
    ASSERT_NE(at, std::string::npos);
    std::string line = col.substr(at, col.find('\n', at) - at);
    EXPECT_NE(line.find("33"), std::string::npos) << line;
    EXPECT_NE(line.find("(+"), std::string::npos) << line;

    t.type("f");
    t.keys("Enter");  // the telnet row
    ASSERT_TRUE(t.wait_for(">> dropping WAN dport 23 at XDP")) << t.screen();
    EXPECT_EQ(rig->udp("11.77.0.2", 23, 20), 0);
    EXPECT_EQ(rig->udp("11.77.0.2", 9999, 20), 20);
    EXPECT_TRUE(t.wait_for("dropped dport  20")) << t.screen();
    t.type("a11.77.2.2/32");
    t.keys("Enter");
    ASSERT_TRUE(t.wait_for(">> dropping src 11.77.2.2/32 at XDP")) << t.screen();
    EXPECT_EQ(rig->udp("11.77.2.2", 9999, 10), 0);
    EXPECT_EQ(rig->udp("11.77.0.2", 9999, 10), 10);
    EXPECT_TRUE(t.wait_for("dropped src    10")) << t.screen();

    // The page's lists are the kernel's, as bpftool reads them.
    EXPECT_EQ(rig->prefixes(), std::vector<std::string>{"11.77.2.2/32"});
    EXPECT_EQ(rig->ports(), std::vector<std::string>{"23"});
    for (const char *s : {"--- drop prefixes (1)", " 11.77.2.2/32", "--- drop dports (1)", " 23 telnet scan"})
        EXPECT_TRUE(t.wait_for(s)) << s << "\n" << t.screen();

    rig->stop(SIGTERM);  // the pins stay readable
    ASSERT_TRUE(t.wait_for("daemon: DOWN")) << t.screen();
    EXPECT_TRUE(t.shows("(control offline - service moatwall start; pinned maps still readable below)"));
    EXPECT_TRUE(t.shows("dropped src    10")) << t.screen();
    ASSERT_TRUE(rig->start());
    ASSERT_TRUE(t.wait_for("daemon: up")) << t.screen();
    EXPECT_TRUE(t.shows(" 11.77.2.2/32") && t.shows(" 23 telnet scan")) << "same lists after a restart: " << t.screen();
}

// One render against the real daemon: one status line, five lookups, the key walks.
TEST_F(LivePage, RenderTime)
{
    buffers_setup();
    mw_drop_conn();
    mw_close_maps();
    mw_paths_set(rig->bpf.sock.c_str(), rig->bpf.pindir.c_str());
    ASSERT_EQ(rig->req("seed"), "OK\n");
    mw_render();
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; i++) {
        sb_clear(&PAGES[3]);
        mw_render();
    }
    double each = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 100;
    EXPECT_EQ(g_mw_daemon_ok, 1);
    EXPECT_EQ(g_mw_npfx, 14);
    std::printf("one render against moatwalld (%d prefixes): %.0f us\n", g_mw_npfx, each * 1e6);
    mw_close_maps();
    mw_drop_conn();
}

}  // namespace
