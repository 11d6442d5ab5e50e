#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "overview/ospf_check.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"
#include "topology/ospf_expected.hpp"

namespace {

// The OSPF section over a stand-in client that prints a fixed text.
struct OspfCheck : ::testing::Test {
    TempDir t;
    std::string client;
    void SetUp() override
    {
        buffers_setup();
        TearDown();
    }
    void TearDown() override
    {
        sb_clear(&PAGES[0]);
        alerts_clear();
        colors_set(false);
        g_n_ospf_exp = 0;
        g_birdc = DEFAULT_BIRDC;
    }
    void client_script(const std::string &body)
    {
        client = t.write("birdc", "#!/bin/sh\n" + body);
        chmod(client.c_str(), 0755);
        g_birdc = client.c_str();
    }
    void client_prints(const std::string &text) { client_script("cat " + t.write("out", text) + "\n"); }
    static void expect(const char *address, const char *label)
    {
        OspfExpected &e = g_ospf_exp[g_n_ospf_exp++];
        std::snprintf(e.address, sizeof e.address, "%s", address);
        std::snprintf(e.label, sizeof e.label, "%s", label);
    }
    static std::string run()
    {
        sb_clear(&PAGES[0]);
        alerts_clear();
        ospf_check();
        return PAGES[0].buf;
    }
};

TEST_F(OspfCheck, table_states_and_missing)
{
    client_prints("BIRD 2.0.12 ready.\nlab:\nRouter ID\tPri\tState\tDTime\tInterface  Router IP\n"
                  "192.168.1.2\t1\tFull/PtP\t3.9\twg0\t10.0.0.2\n"  // the last column is the address
                  "999.1.1.1\t1\tFull/PtP\t3.9\twg0\t10.0.0.9\n+1.2.3.4 Full 10.0.0.9\n"
                  " \t 10.0.0.3 1 2-Way/DROther 31 eth1 010.000.000.008   \n");
    expect("192.168.1.2", "by-router-id");
    expect("10.0.0.2", "core-b");
    expect("10.0.0.8", "core-c");
    expect("10.0.0.9", "10.0.0.9");
    EXPECT_EQ(run(), "\n=== OSPF neighbors (bird) ===\n"
                     "  192.168.1.2\t1\tFull/PtP\t3.9\twg0\t10.0.0.2\n"
                     "  10.0.0.3 1 2-Way/DROther 31 eth1 010.000.000.008\n"
                     "  192.168.1.2 (by-router-id) MISSING - configured in bird.conf, no adjacency\n"
                     "  10.0.0.9 (10.0.0.9) MISSING - configured in bird.conf, no adjacency\n");
    EXPECT_STREQ(ALERTS.buf, "OSPF: 10.0.0.3 1 2-Way/DROther 31 eth1 010.000.000.008 | OSPF: by-router-id MISSING"
                             " | OSPF: 10.0.0.9 MISSING");
    colors_set(true);
    std::string p = run();
    EXPECT_NE(p.find("  \e[32m192.168.1.2\t1\tFull/PtP"), std::string::npos);
    EXPECT_NE(p.find("  \e[31;1m10.0.0.3 1 2-Way"), std::string::npos);
}

TEST_F(OspfCheck, no_table_notice)
{
    expect("10.0.0.2", "core-b");
    client_prints("10.0.0.2 Full/PtP\n");  // neighbours shown, but no header: no MISSING check
    EXPECT_EQ(run(), "\n=== OSPF neighbors (bird) ===\n  10.0.0.2 Full/PtP\n"
                     "  birdc returned no neighbor table -- skipping MISSING check\n  birdc said: 10.0.0.2 Full/PtP\n");
    EXPECT_STREQ(ALERTS.buf, "birdc unreadable");
    client_prints("");
    EXPECT_EQ(run(), "\n=== OSPF neighbors (bird) ===\n"
                     "  birdc returned no neighbor table -- skipping MISSING check\n  birdc said: \n");
}

TEST_F(OspfCheck, client_absent_or_command_too_long_leaves_section_out)
{
    g_birdc = "/nonexistent/birdc";
    EXPECT_EQ(run(), "");
    // A path that would fit uncut works; one that would be cut is never run.
    std::string longc = t.write(std::string(220, 'd') + "/birdc", "#!/bin/sh\necho Router ID\n");
    chmod(longc.c_str(), 0755);
    g_birdc = longc.c_str();
    EXPECT_EQ(run(), "");
    EXPECT_STREQ(ALERTS.buf, "");
}

// 100 000 neighbour lines: the page and the alert line stay bounded and exact
// below the bound; addresses beyond the 32nd are not stored.
TEST_F(OspfCheck, runaway_table_is_bounded)
{
    client_script("echo 'Router ID Pri State'\n"
                  "awk 'BEGIN { for (i = 0; i < 100000; i++) printf \"10.%d.%d.1 1 %s eth0 10.%d.%d.1\\n\", "
                  "i / 256 % 256, i % 256, i % 2 ? \"Init/PtP\" : \"Full/PtP\", i / 256 % 256, i % 256 }'\n"
                  "printf '1.1.1.1 Full%05000d\\n' 0\n");
    expect("10.0.0.1", "first");
    expect("10.0.40.1", "late");
    auto t0 = std::chrono::steady_clock::now();
    std::string p = run();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
    EXPECT_EQ(std::count(p.begin(), p.end(), '\n'), 2 + OSPF_MAX_SHOWN + 1 + 1);
    EXPECT_NE(p.find("  10.0.0.1 1 Full/PtP eth0 10.0.0.1\n  10.0.1.1 1 Init/PtP"), std::string::npos);
    EXPECT_NE(p.find("  (99937 more neighbor lines not shown, 49968 of them not Full)\n"), std::string::npos);
    EXPECT_NE(p.find("  10.0.40.1 (late) MISSING"), std::string::npos);
    EXPECT_EQ(p.find("(first)"), std::string::npos);
    EXPECT_EQ(n_alerts, OSPF_MAX_SHOWN / 2 + 1);
}

TEST_F(OspfCheck, endless_client_ends_the_read)
{
    client_script("echo 'Router ID'; exec yes '10.0.0.2 Full'\n");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(run().find("more neighbor lines not shown, 0 of them not Full"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(OSPF_READ_BUDGET_MS + 2000));
}

// Two BIRD daemons in two namespaces joined by a veth pair, OSPF point-to-point
// with short timers. Router A expects router B ("core-b") and 10.77.0.9 ("ghost"),
// which never answers; client_a stands in for "birdc -s <A's socket>".
struct BirdLab {
    TempDir dir;
    NetnsGuard a{"twbirda"}, b{"twbirdb"};
    std::string conf_a, client_a = dir.path + "/birdc-a";
    pid_t pid_a = -1, pid_b = -1;
    BirdLab()
    {
        a.run("ip link add vla type veth peer name vlb netns " + b.name);
        a.run("ip addr add 10.77.0.1/30 dev vla && ip -n " + a.name + " link set vla up");
        b.run("ip addr add 10.77.0.2/30 dev vlb && ip -n " + b.name + " link set vlb up");
        conf_a = dir.write("a.conf", conf("10.77.0.1", "vla", "10.77.0.2"));
        pid_a = start(a, conf_a, dir.path + "/a");
        pid_b = start(b, dir.write("b.conf", conf("10.77.0.2", "vlb", "10.77.0.1")), dir.path + "/b");
        dir.write("birdc-a", "#!/bin/sh\nexec birdc -s " + dir.path + "/a.ctl \"$@\"\n");
        chmod(client_a.c_str(), 0755);
    }
    ~BirdLab()  // the daemons go before their namespaces and sockets
    {
        stop(&pid_a);
        stop(&pid_b);
    }
    static std::string conf(const std::string &me, const std::string &ifname, const std::string &peer)
    {
        return "router id " + me + ";\nprotocol device { scan time 1; }\nprotocol ospf v2 lab {\n"
               "  ipv4 { import all; export none; };\n  area 0 {\n    interface \"" + ifname + "\" {\n"
               "      type ptp; hello 1; dead 4;\n      neighbors {\n        " + peer + ";   # core-b\n"
               "        10.77.0.9;    # ghost\n      };\n    };\n  };\n}\n";
    }
    static pid_t start(const NetnsGuard &ns, const std::string &conf, const std::string &base)
    {
        ns.run("bird -c " + conf + " -s " + base + ".ctl -P " + base + ".pid");
        for (int i = 0; i < 50; i++, usleep(100000))
            if (std::string s = read_whole_file(base + ".pid"); !s.empty()) return std::stoi(s);
        return -1;
    }
    static void stop(pid_t *pid)
    {
        for (int sig : {SIGTERM, SIGKILL}) {
            if (*pid > 0) kill(*pid, sig);
            for (int i = 0; i < 40 && *pid > 0 && kill(*pid, 0) == 0; i++) usleep(50000);
        }
        *pid = -1;
    }
    bool wait_full(int secs) const
    {
        for (int i = 0; i < secs * 5; i++, usleep(200000))
            if (sh_out(client_a + " show ospf neighbors 2>&1").find("Full") != std::string::npos) return true;
        return false;
    }
};

TEST_F(OspfCheck, real_bird_daemons)
{
    if (!netns_available() || sh("command -v bird >/dev/null && command -v birdc >/dev/null") != 0)
        GTEST_SKIP() << "needs root, network namespaces and bird2";
    BirdLab lab;
    ASSERT_TRUE(lab.pid_a > 0 && lab.pid_b > 0) << "bird did not start";
    ASSERT_TRUE(lab.wait_full(20)) << "no Full adjacency";
    load_ospf_expected(lab.conf_a.c_str());
    ASSERT_EQ(g_n_ospf_exp, 2);
    g_birdc = lab.client_a.c_str();
    colors_set(true);
    std::string p = run();
    EXPECT_EQ(p.rfind("\n\e[1m=== OSPF neighbors (bird) ===\e[0m\n  \e[32m10.77.0.2", 0), 0u) << p;
    EXPECT_NE(p.find("vla        10.77.0.2\e[0m\n"
                     "  \e[31;1m10.77.0.9 (ghost) MISSING - configured in bird.conf, no adjacency\e[0m\n"),
              std::string::npos) << p;
    EXPECT_STREQ(ALERTS.buf, "OSPF: ghost MISSING");

    BirdLab::stop(&lab.pid_a);
    colors_set(false);
    p = run();
    EXPECT_EQ(p.rfind("\n=== OSPF neighbors (bird) ===\n"
                      "  birdc returned no neighbor table -- skipping MISSING check\n"
                      "  birdc said: Unable to connect to server control socket (", 0), 0u) << p;
    EXPECT_STREQ(ALERTS.buf, "birdc unreadable");
}

}  // namespace
