// Page 4 in the real monitor on a real terminal (tmux), against a stand-in daemon
// and, where it is built, the real moatwalld with its XDP gate on a veth pair.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "bpf_fixture.hpp"
#include "core/screen.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"
#include "standin_server.hpp"
#include "support/netns.hpp"

namespace {

// One tmux server of our own, so parallel tests never share sessions.
struct Tmux {
    std::string sock = "tw_mw_" + std::to_string(getpid());
    bool started = false;
    std::string tm(const std::string &args) const { return "tmux -L " + sock + " " + args; }
    bool start(const std::string &cmd)
    {
        started = sh(tm("new-session -d -s tw -x 170 -y 70 '" + cmd + "'")) == 0;
        return started;
    }
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
    // Waits until text is on the screen; the screen as last seen otherwise.
    bool wait_for(const std::string &text, double secs, bool colour = false) const
    {
        auto t0 = std::chrono::steady_clock::now();
        while (std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() < secs) {
            if (screen(colour).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
};

const char *const QUIET = " -i 1 -W /nonexistent -b /nonexistent -B /bin/false -D";

std::string monitor_cmd(const std::string &sock, const std::string &pins, const std::string &opts)
{
    return "env TARNWATCH_TEST_MW_SOCK=" + sock + " TARNWATCH_TEST_MW_PINS=" + pins + " " TW_BIN + QUIET + opts;
}

std::string respond(const std::string &req)
{
    if (req == "status") return "iface twv0\nattached 1 xdpdrv\nOK\n";
    return "OK\n";
}

struct LiveStandin : ::testing::Test {
    BpfPinDir pins;
    Tmux t;
    void SetUp() override
    {
        if (pins.path.empty()) GTEST_SKIP() << "cannot mount a BPF file system (needs root)";
        if (sh("command -v tmux >/dev/null") != 0) GTEST_SKIP() << "tmux not installed";
    }
};

TEST_F(LiveStandin, PromptMenuMessageAndDaemonStopping)
{
    GateMaps m(pins.path);
    m.add_prefix("10.0.0.0", 8);
    m.set_stat(0, 42);
    std::string sock = pins.tmp.path + "/mw.sock";
    auto srv = std::make_unique<StandinServer>(sock, respond);
    ASSERT_TRUE(t.start(monitor_cmd(sock, pins.path, " -M -w twnone0 -l twnone1")));
    t.keys("4");
    ASSERT_TRUE(t.wait_for("daemon: up", 5)) << t.screen();

    t.type("a1");  // 1 is typed, not a page switch
    ASSERT_TRUE(t.wait_for("block prefix (a.b.c.d/len): 1_", 3)) << t.screen();
    EXPECT_NE(t.screen().find("MOATWALL"), std::string::npos);
    t.keys("Escape");
    ASSERT_TRUE(t.wait_for("tab=pane", 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(t.screen().find("block prefix"), std::string::npos) << t.screen();

    t.type("fq");  // q closes the menu and does not quit
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string s = t.screen();
    EXPECT_EQ(s.find("drop which dport?"), std::string::npos) << s;
    EXPECT_NE(s.find("MOATWALL"), std::string::npos) << "monitor still running: " << s;

    t.type("R");
    ASSERT_TRUE(t.wait_for(">> bogons seeded", 3)) << t.screen();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two more samples
    EXPECT_NE(t.screen().find(">> bogons seeded"), std::string::npos) << t.screen();

    srv.reset();  // the daemon stops; the pins stay
    ASSERT_TRUE(t.wait_for("daemon: DOWN", 4)) << t.screen();
    s = t.screen();
    EXPECT_NE(s.find("(control offline - service moatwall start; pinned maps still readable below)"), std::string::npos);
    EXPECT_NE(s.find("passed         42"), std::string::npos) << s;
    EXPECT_NE(s.find("10.0.0.0/8"), std::string::npos) << s;
}

// The real daemon: built only where clang's BPF target and libbpf are found.
const std::string DAEMON = std::string(TW_BIN).substr(0, std::string(TW_BIN).rfind('/')) + "/src/moatwalld/moatwalld";
const std::string OBJ = std::string(TW_BIN).substr(0, std::string(TW_BIN).rfind('/')) + "/src/moatwalld/moatwall_xdp.bpf.o";

struct LiveDaemon : ::testing::Test {
    BpfPinDir pins;
    std::unique_ptr<NetnsGuard> gw, peer;  // gate side, sender side
    std::string sock = pins.tmp.path + "/mw.sock";
    std::string pindir = pins.path + "/moatwall";  // the daemon makes its own directory in the BPF file system
    pid_t daemon = -1;
    Tmux t;

    void SetUp() override
    {
        if (access(DAEMON.c_str(), X_OK) != 0) GTEST_SKIP() << "moatwalld not built";
        if (pins.path.empty() || !netns_available()) GTEST_SKIP() << "needs root, BPF file system and namespaces";
        gw = std::make_unique<NetnsGuard>("twmwgw");
        peer = std::make_unique<NetnsGuard>("twmwpeer");
        ASSERT_EQ(gw->run("ip link add twv0 type veth peer name twv1 netns " + peer->name), 0);
        gw->run("ip addr add 10.77.0.1/24 dev twv0");
        gw->run("ip link set twv0 up");
        peer->run("ip addr add 10.77.0.2/24 dev twv1");
        peer->run("ip link set twv1 up");
        start_daemon();
    }
    void start_daemon()
    {
        daemon = fork();
        if (daemon == 0) {
            execlp("ip", "ip", "netns", "exec", gw->name.c_str(), DAEMON.c_str(), "-i", "twv0", "-p",
                   pindir.c_str(), "-S", sock.c_str(), "-o", OBJ.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 50 && access(sock.c_str(), F_OK) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    void stop_daemon()
    {
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            waitpid(daemon, nullptr, 0);
        }
        daemon = -1;
    }
    void TearDown() override { stop_daemon(); }
    bool launch(const std::string &opts)
    {
        return t.start("ip netns exec " + gw->name + " " + monitor_cmd(sock, pindir, opts));
    }
    // Datagrams from the peer to ports 23 and 9999 of the gate side: how many arrived at each.
    std::string send_and_count(int n)
    {
        return in_netns(gw->name, [&] {
            int s23 = socket(AF_INET, SOCK_DGRAM, 0), s99 = socket(AF_INET, SOCK_DGRAM, 0);
            for (auto [fd, port] : {std::pair{s23, 23}, std::pair{s99, 9999}}) {
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(static_cast<uint16_t>(port));
                bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
                timeval tv{0, 300000};
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            }
            std::string loop = "for i in $(seq " + std::to_string(n) +
                               "); do echo x >/dev/udp/10.77.0.1/23; echo x >/dev/udp/10.77.0.1/9999; done";
            sh("ip netns exec " + peer->name + " bash -c '" + loop + "' 2>/dev/null");
            int got23 = 0, got99 = 0;
            char b[16];
            while (recv(s23, b, sizeof b, 0) > 0) got23++;
            while (recv(s99, b, sizeof b, 0) > 0) got99++;
            return std::to_string(got23) + " " + std::to_string(got99);
        });
    }
};

TEST_F(LiveDaemon, CustomPortZeroRefusedAndNicMenu)
{
    ASSERT_TRUE(launch(" -M -w twnone0 -l twnone1"));
    t.keys("4");
    ASSERT_TRUE(t.wait_for("daemon: up", 5)) << t.screen();
    t.type("fjjjjjjj");
    t.keys("Enter");
    ASSERT_TRUE(t.wait_for("custom dport: _", 3)) << t.screen();
    t.keys("Enter");
    ASSERT_TRUE(t.wait_for(">> ", 3)) << t.screen();
    EXPECT_EQ(t.screen().find("dropping WAN dport 0"), std::string::npos) << "the daemon refuses port 0: " << t.screen();
    t.type("x");
    ASSERT_TRUE(t.wait_for(">> nothing selected", 3)) << t.screen();
    t.type("i");  // veth devices are not device-backed
    ASSERT_TRUE(t.wait_for("(no physical NICs found?)", 3)) << t.screen();
}

TEST_F(LiveDaemon, DropsShowOnThePageAndMatchTheMaps)
{
    ASSERT_TRUE(launch(" -C -w twv0 -l twnone1"));
    t.keys("4");
    ASSERT_TRUE(t.wait_for("daemon: up", 5)) << t.screen();
    t.type("A");
    ASSERT_TRUE(t.wait_for("ATTACHED", 3)) << t.screen();
    EXPECT_EQ(send_and_count(20), "20 20");
    // tmux re-encodes the colours: yellow (33) on the passed line, with its growth figure
    ASSERT_TRUE(t.wait_for("/1s)", 4)) << t.screen();
    std::string col = t.screen(true);
    size_t at = col.find("passed ");
    ASSERT_NE(at, std::string::npos);
    std::string line = col.substr(at, col.find('\n', at) - at);
    EXPECT_NE(line.find("33"), std::string::npos) << line;
    EXPECT_NE(line.find("(+"), std::string::npos) << line;

    t.type("f");
    t.keys("Enter");  // telnet row
    ASSERT_TRUE(t.wait_for(">> dropping WAN dport 23 at XDP", 3)) << t.screen();
    EXPECT_EQ(send_and_count(20), "0 20");
    ASSERT_TRUE(t.wait_for("dropped dport  20", 4)) << t.screen();

    t.type("a10.77.0.2/32");
    t.keys("Enter");
    ASSERT_TRUE(t.wait_for(">> dropping src 10.77.0.2/32 at XDP", 3)) << t.screen();
    EXPECT_EQ(send_and_count(10), "0 0");
    ASSERT_TRUE(t.wait_for("dropped src    20", 4)) << t.screen();

    // The page's lists are the kernel's: one entry each, the same keys as bpftool reads them.
    std::string ports = sh_out("bpftool map dump pinned " + pindir + "/moatwall_dports");
    std::string pfx = sh_out("bpftool map dump pinned " + pindir + "/moatwall_drop4");
    EXPECT_NE(ports.find("\"key\": 23,"), std::string::npos) << ports;
    EXPECT_NE(pfx.find("\"prefixlen\": 32"), std::string::npos) << pfx;
    ASSERT_TRUE(t.wait_for("--- drop prefixes (1)", 2)) << t.screen();
    EXPECT_TRUE(t.wait_for("10.77.0.2/32", 2)) << t.screen();
    EXPECT_TRUE(t.wait_for("--- drop dports (1)", 2)) << t.screen();
    EXPECT_TRUE(t.wait_for(" 23 telnet scan", 2)) << t.screen();

    stop_daemon();
    start_daemon();
    ASSERT_TRUE(t.wait_for("daemon: up", 5)) << t.screen();
    EXPECT_TRUE(t.wait_for("10.77.0.2/32", 3)) << "same lists after a restart: " << t.screen();
    EXPECT_TRUE(t.wait_for(" 23 telnet scan", 3)) << t.screen();
}

// One render against the real daemon: one status line, five lookups, the key walks.
TEST_F(LiveDaemon, RenderTime)
{
    buffers_setup();
    mw_drop_conn();
    mw_close_maps();
    mw_paths_set(sock.c_str(), pindir.c_str());
    char reply[512];
    ASSERT_EQ(mw_req("seed", reply, sizeof reply), 0);
    mw_render();
    const int N = 100;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < N; i++) {
        sb_clear(&PAGES[3]);
        mw_render();
    }
    double each = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / N;
    EXPECT_EQ(g_mw_daemon_ok, 1);
    EXPECT_GT(g_mw_npfx, 0) << "seeded bogons listed";
    std::printf("one render against moatwalld (%d prefixes): %.0f us\n", g_mw_npfx, each * 1e6);
    mw_close_maps();
    mw_drop_conn();
}

}  // namespace
