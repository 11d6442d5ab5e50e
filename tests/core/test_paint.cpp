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

struct PaintFixture : ::testing::Test {
    std::string when;
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        g_clear = 0;
        g_last_ts = 1700000000;  // Tue Nov 14 22:13:20 2023 UTC
        when = "Tue Nov 14 22:13:20 2023";
    }
};

TEST_F(PaintFixture, mono_screen_is_exact)
{
    g_page = 1;
    sb_addf(&PAGES[1], "page two\n");
    std::string s = capture_stdout(paint);
    EXPECT_EQ(s, when + "   interval=2s   (red = incremented this interval)\n"
                 " [1:Overview] [2:Interfaces] [3:BurstCatch] [4:Moatwall]  keys: 1-4/n/p page  b=arm burst  q=quit\n"
                 "All quiet.\n"
                 "\n"
                 "page two\n");
}

TEST_F(PaintFixture, colour_screen_marks_current_tab_capture_and_alerts)
{
    colors_set(true);
    g_clear = 1;
    g_page = 1;
    g_burst_state = 1;
    alert("one");
    alert("two %d", 2);
    std::string s = capture_stdout(paint);
    EXPECT_EQ(s, "\x1b[H\x1b[2J\x1b[3J"
                 "\x1b[1m" + when + "   interval=2s   (red = incremented this interval)\x1b[0m\n"
                 " \x1b[2m[1:Overview]\x1b[0m \x1b[1m[2:Interfaces]\x1b[0m \x1b[2m[3:BurstCatch]\x1b[0m "
                 "\x1b[2m[4:Moatwall]\x1b[0m \x1b[2m keys: 1-4/n/p page  b=arm burst  q=quit\x1b[0m"
                 "  \x1b[31;1m[CAPTURING]\x1b[0m\n"
                 "\x1b[31;1m\x1b[1m!! ACTIVE: one | two 2\x1b[0m\n"
                 "\n");
}

TEST(alerts, joined_with_separators_cut_at_511_and_emptied)
{
    alert("a");
    EXPECT_STREQ(ALERTS.buf, "a");
    alert("b");
    alert("%s", "c");
    EXPECT_STREQ(ALERTS.buf, "a | b | c");
    EXPECT_EQ(n_alerts, 3);
    alerts_clear();
    EXPECT_EQ(n_alerts, 0);
    EXPECT_STREQ(ALERTS.buf, "");
    alert("%s", std::string(700, 'z').c_str());
    EXPECT_EQ(ALERTS.len, 511u);
}

TEST(write_str, writes_existing_files_only)
{
    TempDir d;
    std::string f = d.write("trigger", "old-contents");
    write_str(f.c_str(), "new");
    EXPECT_EQ(read_whole_file(f), "new-contents");  // no truncation, like a control file
    std::string missing = d.path + "/nope";
    write_str(missing.c_str(), "x");
    EXPECT_EQ(access(missing.c_str(), F_OK), -1);
}

}  // namespace
