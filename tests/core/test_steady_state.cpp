// Once the first samples have sized the tables and buffers, a sample takes no
// more heap: the buffers keep their storage and the readers use fixed buffers.
#include <gtest/gtest.h>

#include <malloc.h>

#include "core/alerts.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/nst_table.hpp"
#include "overview/page_overview.hpp"
#include "topology/ifaces.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

TEST(steady_state, samples_after_the_first_allocate_nothing)
{
    g_wan = "lo";
    g_birdc = "/bin/false";  // present, but prints no table
    wg_discover();
    iface_discover();
    load_ospf_expected("/nonexistent");
    size_t in_use[4];
    for (size_t &used : in_use) {
        for (StrBuf &p : PAGES) sb_clear(&p);
        alerts_clear();
        nst_refresh();
        for (int32_t i = 0; i < g_n_ifaces; i++) ifsnap_take(static_cast<uint32_t>(i), g_ifaces[i], 2.0);
        render_overview();
        ctr_roll();
        used = mallinfo2().uordblks;
    }
    EXPECT_EQ(in_use[1], in_use[2]);
    EXPECT_EQ(in_use[2], in_use[3]);
}
