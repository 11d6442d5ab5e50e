#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "burst/burst_state.hpp"
#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "support/capture_stdout.hpp"
#include "support/tmpdir.hpp"

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

TEST(alerts, joined_with_separators_cut_at_511_and_emptied)
{
    alert("a");
    alert("b");
    alert("%s", "c");
    EXPECT_STREQ(ALERTS.buf, "a | b | c");
    EXPECT_EQ(n_alerts, 3);
    alerts_clear();
    EXPECT_STREQ(ALERTS.buf, "");
    alert("%s", std::string(700, 'z').c_str());
    EXPECT_EQ(ALERTS.len, 511u);
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

}  // namespace
