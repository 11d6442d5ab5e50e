#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/fsroot.hpp"
#include "core/settings.hpp"
#include "support/tmpdir.hpp"
#include "topology/wg_discover.hpp"

namespace {

// A fixture /sys/class/net plus a configuration directory; globals restored after.
struct WgFixture {
    TempDir t;
    const char *old_wgdir = g_wgdir;
    std::string confdir = t.mkdir("conf");
    WgFixture() { fsroot_set(t.path.c_str()); g_wgdir = confdir.c_str(); }
    ~WgFixture() { fsroot_set(""); g_wgdir = old_wgdir; g_n_wgdevs = 0; g_n_peer_names = 0; }
    void dev(const std::string &name, const char *type) const
    {
        t.write("sys/class/net/" + name + "/uevent", "DEVTYPE=" + std::string(type) + "\nINTERFACE=" + name + "\n");
    }
    std::string named(const std::string &key) const
    {
        for (int i = 0; i < g_n_peer_names; i++)
            if (key == g_peer_names[i].key) return g_peer_names[i].name;
        return "(none)";
    }
};

TEST(wg_discover, peer_names_from_config)
{
    WgFixture f;
    f.dev("wg0", "wireguard");
    // The tail of an over-long line must not come back as a line of its own.
    std::string overlong = "# note = " + std::string(502, 'x') + "PublicKey = EVIL";
    f.t.write("conf/wg0.conf",
              "# outside\n[Interface]\n# iface\nPrivateKey = p\n"
              "[Peer]\n# alice laptop\nPublicKey=AAA\n"
              "  [PEER]\n# first\n\t# bob\tphone\n# PresharedKey = z\n  publickey =  B B\tb \n"
              "[Peers]\n# notpeer\nPublicKey = CCC\n"
              "[peer]\n#   \n# carol\n#PublicKey = DDD\nPublicKey = EEE\n"
              "[Peer]\nPublicKey = FFF\n"
              "[Peer]\n# dave\n[Interface]\nPublicKey = GGG\n[Peer]\nPublicKey = HHH\n"
              "[Peer]\n# " + std::string(60, 'n') + "\nPublicKey = " + std::string(70, 'K') + "\n"
              "[Peer]\n# mallory\n" + overlong + "\nPublicKey = REAL\n");
    wg_discover();
    ASSERT_EQ(g_n_wgdevs, 1);
    EXPECT_STREQ(g_wgdevs[0], "wg0");
    EXPECT_EQ(f.named("AAA"), "alice");
    EXPECT_EQ(f.named("BBb"), "bob");
    EXPECT_EQ(f.named("EEE"), "carol");
    EXPECT_EQ(f.named(std::string(63, 'K')), std::string(47, 'n'));
    EXPECT_EQ(f.named("REAL"), "mallory");
    EXPECT_EQ(g_n_peer_names, 5);  // nothing for CCC, DDD, FFF, GGG, HHH, EVIL
}

TEST(wg_discover, limits_and_missing_sysfs)
{
    WgFixture f;
    for (int d = 0; d < 9; d++) {  // 65 named peers per device
        std::string dev = "wg" + std::to_string(d), conf;
        f.dev(dev, "wireguard");
        for (int i = 0; i < 65; i++)
            conf += "[Peer]\n# p" + std::to_string(i) + "\nPublicKey = " + dev + "k" + std::to_string(i) + "\n";
        f.t.write("conf/" + dev + ".conf", conf);
    }
    f.dev("wg0.5", "vlan");
    f.dev(".wgx", "wireguard");
    f.t.mkdir("sys/class/net/eth0");  // no uevent
    wg_discover();
    ASSERT_EQ(g_n_wgdevs, 8);
    std::set<std::string> seen(g_wgdevs, g_wgdevs + 8);
    EXPECT_EQ(seen.size(), 8u);
    for (auto &s : seen) EXPECT_EQ(s.size(), 3u) << s;  // wg0..wg8 only
    ASSERT_EQ(g_n_peer_names, 64);  // all from the first device listed
    EXPECT_EQ(f.named(std::string(g_wgdevs[0]) + "k63"), "p63");
    EXPECT_EQ(f.named(std::string(g_wgdevs[0]) + "k64"), "(none)");

    fsroot_set((f.t.path + "/nowhere").c_str());
    wg_discover();
    EXPECT_EQ(g_n_wgdevs + g_n_peer_names, 0);
}

}  // namespace
