#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/fsroot.hpp"
#include "overview/read_util.hpp"
#include "support/tmpdir.hpp"

namespace {

TEST(read_util, read_file_str_cuts_keeps_newline_and_leaves_buffer_on_failure)
{
    TempDir t;
    char buf[64];
    ASSERT_EQ(read_file_str(t.write("f", std::string(99, 'x') + "\n").c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), std::string(63, 'x'));
    ASSERT_EQ(read_file_str(t.write("nl", "up\n").c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "up\n");
    for (std::string bad : {t.path + "/missing", t.mkdir("dir")}) {
        std::strcpy(buf, "keep");
        EXPECT_EQ(read_file_str(bad.c_str(), buf, sizeof buf), -1) << bad;
        EXPECT_STREQ(buf, "keep");
    }
}

TEST(read_util, rstrip_removes_exactly_four_blank_kinds)
{
    for (auto [in, want] : {std::pair{"abc \t\r\n", "abc"}, {"abc\v", "abc\v"}, {"", ""}, {" \n", ""}}) {
        char s[16];
        std::strcpy(s, in);
        rstrip(s);
        EXPECT_STREQ(s, want);
    }
}

TEST(read_util, sysstat_reads_under_fixture_root)
{
    TempDir t;
    fsroot_set(t.path.c_str());
    t.write("sys/class/net/lan0.20/statistics/tx_dropped", "12345\n");
    t.write("sys/class/net/lan0.20/statistics/rx_errors", "bogus\n");
    // A path that does not fit must not be read cut short, here as another file.
    t.write("sys/class/net/" + std::string(255 - (t.path + "/sys/class/net/").size(), 'a'), "7\n");
    EXPECT_EQ(sysstat("lan0.20", "tx_dropped"), 12345u);
    EXPECT_EQ(sysstat("lan0.20", "rx_errors") + sysstat("lan0.20", "rx_dropped"), 0u);
    EXPECT_EQ(sysstat(std::string(300, 'a').c_str(), "tx_dropped"), 0u);
    fsroot_set("");
}

}  // namespace
