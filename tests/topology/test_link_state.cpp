#include <gtest/gtest.h>

#include <cstring>

#include "core/colors.hpp"
#include "ifdetail/ifsnap.hpp"
#include "topology/link_state.hpp"
#include "topology/wg_discover.hpp"

TEST(link_state, table)
{
    colors_set(true);
    g_n_wg_health = 2;
    g_wg_health[0] = {"wg0", 3, 0};
    g_wg_health[1] = {"wg1", 3, 2};
    struct Case { const char *name; int is_wg; uint64_t flags; const char *oper, *text, *color; };
    const Case cases[] = {
        {"wg0", 1, 0x1, "unknown", "up 0/3 peers STALE", RED},
        {"wg1", 1, 0x1, "unknown", "up 2/3 peers", GRN},
        {"wg1", 1, 0x10040, "up", "down", RED},  // admin down whatever the counts
        {"wg7", 1, 0x1, "unknown", "up (no peer data)", YEL},
        {"wg7", 1, 0x0, "unknown", "down", RED},
        {"eth0", 0, 0x1003, "up", "up", GRN},
        {"eth0", 0, 0x1003, "", "?", RED},
        {"wg0", 0, 0x1, "dormant", "dormant", RED},  // not flagged as WireGuard
        {"tun0", 0, 0x10001, "unknown", "up*", GRN},
        {"tun0", 0, 0x1, "unknown", "up? (no-carrier)", YEL},
        {"tun0", 0, 0x10040, "unknown", "down", RED},
    };
    for (const Case &c : cases) {
        IfSnap s{};
        s.is_wg = c.is_wg;
        s.flags = c.flags;
        std::strcpy(s.operstate, c.oper);
        char out[40];
        const char *color = nullptr;
        link_state(&s, c.name, out, &color);
        EXPECT_STREQ(out, c.text) << c.name << " " << c.oper;
        EXPECT_EQ(color, c.color) << c.name << " " << c.oper;
    }
    g_n_wg_health = 0;
    colors_set(false);
}
