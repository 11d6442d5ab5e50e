#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/settings.hpp"
#include "ifdetail/ifsnap.hpp"
#include "support/fixture_rows.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"
#include "topology/ifaces.hpp"
#include "topology/link_state.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

// link_state's text for such a link, the initial of its colour, and "+" when link_running
// says it is operational: "up 2/3 peers/G", "up*/G+".
static std::string state_of(const char *name, int is_wg, uint64_t flags, const char *operstate)
{
    IfSnap s{};
    s.is_wg = is_wg;
    s.flags = flags;
    std::strcpy(s.operstate, operstate);
    char out[40];
    const char *color = nullptr;
    link_state(&s, name, out, &color);
    return std::string(out) + (color == GRN ? "/G" : color == YEL ? "/Y" : color == RED ? "/R" : "/?") +
           (link_running(&s) ? "+" : "");
}

TEST(link_state, table)
{
    colors_set(true);  // so the three colours differ
    g_n_wg_health = 2;
    g_wg_health[0] = {"wg0", 3, 0};
    g_wg_health[1] = {"wg1", 3, 2};
    for (const FixtureRow &r : fixture_rows("topology/fixtures/link_states.tsv", 5)) {
        const uint64_t flags = std::stoull(r[2], nullptr, 0);
        EXPECT_EQ(state_of(r[0].c_str(), std::stoi(r[1]), flags, r[3].c_str()), r[4]) << r[0];
    }
}

// Real links in a namespace, their states read the way each sample reads them. Peers left
// in the namespace are no watched names; he6's peer stays down, so he6 has no carrier.
// A WireGuard device (named here: a veth is none) comes after the VLANs.
TEST(topology_netns, discovery_order_and_link_states)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard ns("twtopo");
    ASSERT_EQ(ns.run("sh " TW_SOURCE_DIR "/tests/topology/fixtures/links.sh"), 0);
    std::string got = in_netns(ns.name, [] {
        colors_set(true);
        g_wan = "wan0";
        g_lan = "lan0";
        wg_discover();
        std::strcpy(g_wgdevs[g_n_wgdevs++], "wg9");
        iface_discover();
        std::string r;
        for (int i = 0; i < g_n_ifaces; i++) r += std::string(g_ifaces[i]) + ",";
        for (const char *n : {"lan0", "he6", "wan0.7", "lo"}) {
            ifsnap_take(0, n, 1.0);
            r += std::string(" ") + n + "=" + state_of(n, g_snap[0].is_wg, g_snap[0].flags, g_snap[0].operstate);
        }
        // 34 more VLANs make 41 candidates: 9 do not fit, and are counted so that page 2 and the export say so.
        sh("for i in $(seq 100 133); do ip link add lan0.$i type veth peer name pl$i; done");
        iface_discover();
        r += " " + std::to_string(g_n_ifaces) + "+" + std::to_string(g_ifaces_left_out);
        return r;
    });
    // Sub-interfaces come in the kernel's listing order, which differs between namespaces.
    const std::string vlans = "lan0.2000000000,wan0.7";
    if (size_t at = got.find("wan0.7,lan0.2000000000"); at != std::string::npos) got.replace(at, vlans.size(), vlans);
    EXPECT_EQ(got, "wan0,lan0,lan0.2000000000,wan0.7,wg9,he6,enp42s0, lan0=up/G+ he6=lowerlayerdown/R wan0.7=down/R "
                   "lo=up*/G+ 32+9");
}

// Nine WireGuard devices share one configuration: the naming rules, then 65 plainly named peers.
// Whichever device is listed first fills the 64 names, so a name wrongly taken pushes the last one out.
TEST(wg_discover, devices_and_peer_names)
{
    TempDir t;
    fsroot_set(t.path.c_str());
    g_wgdir = t.path.c_str();
    // Section names in any case, but not [Peers]; the last plain comment names the next key by its first
    // word. Commented-out settings, blank comments and the rest of an over-long line name nothing, and a
    // new section forgets a pending name.
    const std::string conf = fixture("topology/fixtures/wg_peer_naming_and_65_peers.conf");
    for (int d = 0; d < 9; d++) {
        t.write("sys/class/net/wg" + std::to_string(d) + "/uevent", "DEVTYPE=wireguard\n");
        t.write("wg" + std::to_string(d) + ".conf", conf);
    }
    t.write("sys/class/net/wg0.5/uevent", "DEVTYPE=vlan\n");
    t.write("sys/class/net/brwg/uevent", "DEVTYPE=bridge\nINTERFACE=wireguard\n");  // mentions it, is none
    t.mkdir("sys/class/net/eth0");  // no uevent
    wg_discover();
    // Neither wg0.5 nor brwg nor eth0.
    for (int i = 0; i < g_n_wgdevs; i++) EXPECT_EQ(std::strlen(g_wgdevs[i]), 3u) << g_wgdevs[i];
    std::string got = std::to_string(g_n_wgdevs) + " ";
    for (int i : {0, 1, 2, 3, 4, 63}) got += std::string(g_peer_names[i].key) + "=" + g_peer_names[i].name + " ";
    EXPECT_EQ(got, "8 A=ann BBb=bob E=carol " + std::string(63, 'K') + "=" + std::string(47, 'n') + " R=eve k58=p58 ");
}

TEST(ospf_expected, addresses_and_neighbors_blocks)
{
    for (char out[48]; const FixtureRow &r : fixture_rows("topology/fixtures/ipv4_texts.tsv", 2))
        EXPECT_EQ(looks_ipv4(r[0].c_str(), out) ? out : "", r[1]) << r[0];
    // Blocks opened only by a line with both "neighbors" and "{", closed by any "}" after it;
    // a label cut to fit loses the blanks it was cut in.
    load_ospf_expected((TW_SOURCE_DIR "/tests/topology/fixtures/bird_neighbors_blocks.conf"));
    std::string got;
    for (int i = 0; i < g_n_ospf_exp; i++) got += g_ospf_exp[i].address + std::string("=") + g_ospf_exp[i].label + ",";
    EXPECT_EQ(got, "10.0.0.2=core-b,10.0.0.5=10.0.0.5,10.2.0.2=" + std::string(63, 'L') + ",10.2.0.3=10.2.0.3,10.2.0.6=" + std::string(60, 'M') + ",");
}

// What can stand at a configuration path instead of a configuration file, made
// there from the sound text; found is what the two readers take from it. Each
// reader returns at once, with what a sound file holds or with nothing.
TEST(config_readers, bounded_whatever_stands_at_the_path)
{
    using Str = const std::string &;
    const struct {
        const char *name;
        void (*make)(Str path, Str text);
        const char *found;  // peer names and neighbours
    } kinds[] = {
        {"huge_sparse", [](Str p, Str t) {  // the real text, 4 GiB of holes, then text never read
             std::ofstream(p) << t;
             sh("truncate -s 4G " + p + " && printf '\\n[Peer]\\n# late\\nPublicKey = KEYLATE\\nneighbors {\\n10.0.0.77;\\n}\\n' >>" + p);
         }, "alice core-b"},
        {"binary", [](Str p, Str t) {  // taken up again after the junk
             std::string junk;
             for (unsigned i = 0; i < 65536; i++) junk += static_cast<char>((i * 2654435761u) >> 24);
             std::ofstream(p) << junk + "\n" + t;
         }, "alice core-b"},
        {"last_line_cut_by_the_limit", [](Str p, Str t) {  // the line under the 1 MiB limit is not taken in part
             std::string pad;
             while (pad.size() < (1u << 20)) pad += "# padding padding padding\n";
             pad.resize((1u << 20) - (t[0] == '[' ? t.find("PublicKey") + 14 : t.find("10.0.0.2") + 8));
             pad.back() = '\n';
             std::ofstream(p) << pad + t;
         }, ""},
        {"fifo_without_writer", [](Str p, Str) { mkfifo(p.c_str(), 0600); }, ""},
        {"directory", [](Str p, Str) { ::mkdir(p.c_str(), 0700); }, ""},
        {"endless_device", [](Str p, Str) { symlink("/dev/zero", p.c_str()); }, ""},
    };
    for (const auto &k : kinds) {
        SCOPED_TRACE(k.name);
        TempDir d;
        k.make(d.path + "/wg0.conf", "[Peer]\n# alice\nPublicKey = KEYALICE\n");
        k.make(d.path + "/bird.conf", "neighbors {\n10.0.0.2; # core-b\n}\n");
        const auto t0 = std::chrono::steady_clock::now();
        g_n_peer_names = 0;
        wg_conf_names_load((d.path + "/wg0.conf").c_str());
        load_ospf_expected((d.path + "/bird.conf").c_str());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
        std::string got;
        for (int i = 0; i < g_n_peer_names; i++) got += g_peer_names[i].name + std::string(" ");
        for (int i = 0; i < g_n_ospf_exp; i++) got += g_ospf_exp[i].label;
        EXPECT_EQ(got, k.found);
    }
}
