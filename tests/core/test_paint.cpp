#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <malloc.h>
#include <string>

#include "burst/burst_state.hpp"
#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/nst_table.hpp"
#include "overview/page_overview.hpp"
#include "support/capture_stdout.hpp"
#include "support/tmpdir.hpp"
#include "topology/ifaces.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

namespace {

// Page 2 showing, at Tue Nov 14 22:13:20 2023 UTC: mono and unalerted, then colour, clearing,
// capturing and with two alerts.
TEST(paint, screens_are_exact)
{
    setenv("TZ", "UTC", 1);
    tzset();
    g_last_ts = 1700000000;
    g_page = 1;
    g_clear = 0;
    sb_addf(&PAGES[1], "page two\n");
    EXPECT_EQ(capture_stdout(paint),
              "Tue Nov 14 22:13:20 2023   interval=2s   (red = incremented this interval)\n"
              " [1:Overview] [2:Interfaces] [3:BurstCatch] [4:Moatwall]  keys: 1-4/n/p page  b=arm burst  q=quit\n"
              "All quiet.\n\npage two\n");
    colors_set(true);
    g_clear = 1;
    g_burst_state = 1;
    sb_clear(&PAGES[1]);
    alert("one");
    alert("two %d", 2);
    EXPECT_EQ(capture_stdout(paint),
              "\x1b[H\x1b[2J\x1b[3J\x1b[1mTue Nov 14 22:13:20 2023   interval=2s   (red = incremented this interval)\x1b[0m\n"
              " \x1b[2m[1:Overview]\x1b[0m \x1b[1m[2:Interfaces]\x1b[0m \x1b[2m[3:BurstCatch]\x1b[0m "
              "\x1b[2m[4:Moatwall]\x1b[0m \x1b[2m keys: 1-4/n/p page  b=arm burst  q=quit\x1b[0m"
              "  \x1b[31;1m[CAPTURING]\x1b[0m\n"
              "\x1b[31;1m\x1b[1m!! ACTIVE: one | two 2\x1b[0m\n\n");
}

// Alerts are joined, cut at 511 and emptied; a buffer grows by as much as one call
// needs keeping what was there, and a clear keeps its storage.
TEST(buffers, alerts_and_growth)
{
    alert("a");
    alert("%s", "b");
    EXPECT_STREQ(ALERTS.buf, "a | b");
    EXPECT_EQ(n_alerts, 2);
    alerts_clear();
    EXPECT_STREQ(ALERTS.buf, "");
    alert("%s", std::string(700, 'z').c_str());
    EXPECT_EQ(ALERTS.len, 511u);
    StrBuf b;
    sb_init(&b, 16);
    sb_addf(&b, "%s", std::string(15, 'a').c_str());
    sb_addf(&b, "b%s", std::string(200, 'x').c_str());  // more than one doubling in one call
    EXPECT_EQ(std::string(b.buf, b.len), std::string(15, 'a') + "b" + std::string(200, 'x'));
    char *storage = b.buf;
    sb_clear(&b);
    sb_addf(&b, "%d", 7);
    EXPECT_STREQ(b.buf, "7");
    EXPECT_EQ(b.buf, storage);
    std::free(b.buf);
}

TEST(write_str, writes_existing_files_only)
{
    TempDir d;
    const std::string f = d.write("trigger", "old-contents"), missing = d.path + "/nope";
    write_str(f.c_str(), "new");
    write_str(missing.c_str(), "x");
    EXPECT_EQ(read_whole_file(f), "new-contents");  // no truncation, like a control file
    EXPECT_EQ(access(missing.c_str(), F_OK), -1);
}

// Once the first samples have sized the tables and buffers, a sample takes no
// more heap: the buffers keep their storage and the readers use fixed buffers.
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

}  // namespace
