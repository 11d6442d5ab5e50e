// The real monitor against hostile surroundings: a gate daemon that floods,
// stalls or sends garbage, configuration files that are no files, interface
// names with every byte the kernel allows. It stays responsive and keeps sampling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "gate/standin_server.hpp"
#include "hardening/hardening_rig.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }
void write_file(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

struct DaemonRow {
    const char *name;
    std::function<std::string(const std::string &)> respond;
    const char *page_shows;
};

const DaemonRow DAEMONS[] = {
    {"flood_20k_before_ok", [](const std::string &) { return std::string(20 * 1024, 'f') + "\nOK\n"; }, "daemon: DOWN"},
    {"stall_3s",
     [](const std::string &) {
         std::this_thread::sleep_for(std::chrono::seconds(3));
         return std::string("iface twg0\nattached 1 xdpdrv\nOK\n");
     },
     "daemon: DOWN"},
    // The reply is read up to its first NUL: the NIC name is cut there, the rest unread.
    {"nul_bytes", [](const std::string &) { return std::string("iface tw\0g0\nattached 1 xdp\0drv\n\0OK\nOK\n", 38); },
     "gate: NOT ATTACHED on tw "},
    {"fifty_gate_lines",
     [](const std::string &) {
         std::string s = "iface twg0\nattached 1 xdpdrv\n";
         for (int i = 0; i < 50; i++) s += "gate twg" + std::to_string(i) + " xdpdrv\n";
         return s + "OK\n";
     },
     "ATTACHED (xdpdrv) on twg0"},
};

class HostileDaemon : public testing::TestWithParam<DaemonRow> {};

// Page 4 on screen, so every sample and every key talks to the daemon.
TEST_P(HostileDaemon, monitor_stays_responsive_and_keeps_sampling)
{
    TempDir d;
    StandinServer srv(d.path + "/mw.sock", GetParam().respond);
    const std::string cmd = "TARNWATCH_TEST_MW_SOCK=" + d.path + "/mw.sock TARNWATCH_TEST_MW_PINS=" + d.path +
                            "/nopins " TW_BIN " -i 1 -w twnone0 -l twnone1 -M -W /nonexistent -b /nonexistent "
                            "-B /bin/false -D; echo TW_EXIT=$?";
    PtySession s;
    ASSERT_TRUE(s.start({"/bin/sh", "-c", cmd.c_str()}));
    ASSERT_TRUE(s.read_until("=== UDP underlay ===", 5)) << s.out;
    s.write("4");
    ASSERT_TRUE(s.read_until(GetParam().page_shows, 5)) << s.out.substr(s.sent_at);

    size_t from = s.out.size();
    pump(s, 6);
    // One sample a second, plus at most a connect and a reply wait of 0.7 s each.
    EXPECT_GE(paints(s.out, from), 2u) << s.out.substr(from);

    s.write("1");
    EXPECT_TRUE(s.read_until("=== UDP underlay ===", 2)) << s.out.substr(s.sent_at);
    s.write("q");
    EXPECT_TRUE(s.read_until("TW_EXIT=0", 3)) << s.out.substr(s.sent_at);
}

INSTANTIATE_TEST_SUITE_P(Daemons, HostileDaemon, testing::ValuesIn(DAEMONS),
                         [](const auto &i) { return std::string(i.param.name); });

// What can stand at a configuration path instead of a configuration file: made
// at path from the sound text; found is how many entries each reader takes.
using Str = const std::string &;
struct ConfKind {
    const char *name;
    void (*make)(Str path, Str text);
    int found;
};

const ConfKind CONF_KINDS[] = {
    {"huge_sparse", [](Str p, Str t) {  // the real text first, then 4 GiB of holes, then text that is never read
         write_file(p, t);
         sh("truncate -s 4G " + p + " && printf '\\n[Peer]\\n# late\\nPublicKey = KEYLATE\\nneighbors {\\n10.0.0.77;\\n}\\n' >>" + p);
     }, 1},
    {"binary", [](Str p, Str t) {  // taken up again after the junk
         std::string junk;
         for (unsigned i = 0; i < 65536; i++) junk += static_cast<char>((i * 2654435761u) >> 24);
         write_file(p, junk + "\n" + t);
     }, 1},
    {"last_line_cut_by_the_limit", [](Str p, Str t) {  // the line under the 1 MiB limit is not taken in part
         // The limit falls inside the key ("PublicKey = KE") or after the address.
         std::string pad;
         while (pad.size() < (1u << 20)) pad += "# padding padding padding\n";
         pad.resize((1u << 20) - (t[0] == '[' ? t.find("PublicKey") + 14 : t.find("10.0.0.2") + 8));
         pad.back() = '\n';
         write_file(p, pad + t);
     }, 0},
    {"fifo_without_writer", [](Str p, Str) { mkfifo(p.c_str(), 0600); }, 0},
    {"directory", [](Str p, Str) { mkdir(p.c_str(), 0700); }, 0},
    {"endless_device", [](Str p, Str) { symlink("/dev/zero", p.c_str()); }, 0},
};

// Each kind straight to the two readers, which return at once with what a sound
// file holds or with nothing; then the real monitor, once, with it as its BIRD
// configuration and as that of a WireGuard device (a veth with a WireGuard uevent).
TEST(hostile_config, bounded_whatever_stands_at_the_path)
{
    std::unique_ptr<NetnsGuard> ns;  // the readers need no root; the monitor's run does
    if (netns_available()) ns = std::make_unique<NetnsGuard>("twconf");
    ASSERT_TRUE(!ns || ns->run("ip link add twwg0 type veth peer name twwg1") == 0);
    for (const ConfKind &k : CONF_KINDS) {
        SCOPED_TRACE(k.name);
        TempDir d;
        d.mkdir("wg");
        k.make(d.path + "/wg/twwg0.conf", "[Peer]\n# alice\nPublicKey = KEYALICE\n");
        k.make(d.path + "/bird.conf", "neighbors {\n10.0.0.2; # core-b\n}\n");
        auto t0 = Clock::now();
        g_n_peer_names = 0;
        wg_conf_names_load((d.path + "/wg/twwg0.conf").c_str());
        load_ospf_expected((d.path + "/bird.conf").c_str());
        EXPECT_LT(since(t0), 1.0);
        ASSERT_EQ(g_n_peer_names, k.found);
        ASSERT_EQ(g_n_ospf_exp, k.found);
        if (k.found) {
            EXPECT_STREQ(g_peer_names[0].name, "alice");
            EXPECT_STREQ(g_ospf_exp[0].label, "core-b");
        }
        if (!ns) continue;
        d.write("ue", "DEVTYPE=wireguard\n");
        d.write("run", "mount --bind ue /sys/class/net/twwg0/uevent && " TW_BIN
                       " -1 -M -D -w twnone0 -l twnone1 -W wg -b bird.conf -B /bin/false >out 2>&1 </dev/null\n");
        t0 = Clock::now();
        EXPECT_EQ(sh("cd " + d.path + " && ip netns exec " + ns->name + " sh run"), 0);
        EXPECT_LT(since(t0), 8.0);
        const std::string out = read_whole_file(d.path + "/out");
        EXPECT_TRUE(out.find("=== WireGuard (twwg0) link ===") != out.npos && out.find("=== Conntrack ===") != out.npos) << out;
    }
}

// Every byte the kernel allows in a name ('/', ':', NUL, blanks and the '%' of a
// name pattern apart), packed into LAN sub-interfaces "twl.<11 bytes>": each
// shows as printable ASCII, and nothing else reaches the terminal.
TEST(hostile_names, every_allowed_byte_in_interface_names)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard ns("twname");
    ASSERT_EQ(ns.run("sh -c 'ip link add twl type veth peer name twlp && ip link set twl up'"), 0);
    std::string bytes, script;
    for (int c = 1; c < 256; c++)
        if (!std::strchr("/:% \t\n\v\f\r", c) && c != 0xa0) bytes += static_cast<char>(c);
    TempDir d;
    std::vector<std::string> shown;
    for (size_t at = 0, i = 0; at < bytes.size(); at += 11, i++) {
        const std::string f = "n" + std::to_string(i), name = "twl." + bytes.substr(at, 11);
        d.write(f, name);
        shown.push_back(name);
        script += "ip link add \"$(cat " + f + ")\" type veth peer name twp" + std::to_string(i) + " || exit 1\n";
        for (char &c : shown.back()) c = c >= 0x20 && c <= 0x7e ? c : '?';
    }
    d.write("run", script + TW_BIN " -1 -M -D -w twnone0 -l twl -W /nonexistent -b /nonexistent -B /bin/false >out 2>&1 </dev/null\n");
    auto t0 = Clock::now();
    ASSERT_EQ(sh("cd " + d.path + " && ip netns exec " + ns.name + " sh run"), 0) << read_whole_file(d.path + "/out");
    EXPECT_LT(since(t0), 20.0);
    std::string out = read_whole_file(d.path + "/out");
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](unsigned char c) { return c == '\n' || (c >= 0x20 && c <= 0x7e); }));
    for (const std::string &n : shown) EXPECT_NE(out.find("\n  " + n + " "), std::string::npos) << n;
}

}  // namespace
