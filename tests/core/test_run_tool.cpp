#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "core/run_tool.hpp"
#include "support/tmpdir.hpp"

namespace {

// The monitor ignores SIGPIPE, yet a chatty tool closed early must end at its next
// write; a stalled one costs one read timeout, and what it started goes with it.
TEST(run_tool, arguments_arrive_verbatim_and_bad_tools_are_bounded)
{
    TempDir d;
    const std::string stall = "sleep 9 & printf /proc/$!/stat >" + d.path + "/bg; wait";
    // Tool and arguments, lines read before closing, what they say, wait status.
    const std::tuple<std::vector<const char *>, int, std::string, int> cases[] = {
        {{"printf", "%s\\n", "w;id>pwn", "l$(id)", "a b`x`|&'\"", nullptr}, 9, "w;id>pwn\nl$(id)\na b`x`|&'\"\n", 0},
        {{"tw-no-such-tool", "x", nullptr}, 9, "", W_EXITCODE(127, 0)},
        {{"seq", "1", "100000000", nullptr}, 1, "1\n", W_EXITCODE(0, SIGPIPE)},
        {{"sh", "-c", stall.c_str(), nullptr}, 9, "", W_EXITCODE(0, SIGKILL)},
    };
    ::signal(SIGPIPE, SIG_IGN);  // as the monitor does
    for (const auto &[argv, max_lines, out, status] : cases) {
        SCOPED_TRACE(argv[0]);
        const auto t0 = std::chrono::steady_clock::now();
        ToolRun t;
        ASSERT_EQ(tool_start(&t, argv.data()), 0);
        std::string got;
        char line[64];
        for (int i = 0; i < max_lines && tool_getline(&t, line, sizeof line) >= 0; i++) got += std::string(line) + "\n";
        EXPECT_EQ(got, out);
        EXPECT_EQ(tool_close(&t), status);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(TOOL_READ_TIMEOUT_MS + 2000));
    }
    // Gone, or a zombie its new parent has not reaped yet, soon after the kill.
    std::string stat;
    for (int i = 0; i < 300; i++) {
        stat = read_whole_file(read_whole_file(d.path + "/bg"));
        if (stat.empty() || stat.find(") Z ") != std::string::npos) break;
        ::usleep(10000);
    }
    EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
}

TEST(run_tool, a_tool_that_never_stops_trickling_ends_with_the_run_budget)
{
    const char *argv[] = {"sh", "-c", "while :; do echo x; sleep 0.5; done", nullptr};
    const auto t0 = std::chrono::steady_clock::now();
    ToolRun t;
    ASSERT_EQ(tool_start(&t, argv), 0);
    char line[8];
    int lines = 0;
    while (tool_getline(&t, line, sizeof line) >= 0) lines++;
    tool_close(&t);
    EXPECT_GE(lines, 5);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(TOOL_RUN_BUDGET_MS + 1500));
}

}  // namespace
