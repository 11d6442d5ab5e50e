#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <tuple>
#include <vector>

#include "core/program_run.hpp"
#include "core/run_tool.hpp"

namespace {

// Starts argv, reads up to max_lines lines of at most line_size bytes; what was read and the wait status.
std::pair<std::string, int> run_tool(const std::vector<const char *> &argv, int max_lines, size_t line_size = 64,
                                     bool *timed_out = nullptr)
{
    ToolRun t;
    if (tool_start(&t, argv.data()) != 0) return {"!start failed", -1};
    std::string got;
    char line[64];
    for (int i = 0; i < max_lines && tool_getline(&t, line, line_size) >= 0; i++) got += std::string(line) + "\n";
    const int status = tool_close(&t);
    if (timed_out) *timed_out = t.timed_out;
    return {got, status};
}

// The monitor ignores SIGPIPE, yet a chatty tool closed early must end at its next
// write; a stalled one costs one read timeout, and what it started goes with it;
// one that leaves a child holding the pipe costs no wait at all; no descriptor
// of the monitor reaches a tool.
TEST(run_tool, arguments_arrive_verbatim_and_bad_tools_are_bounded)
{
    TempDir d;
    const std::string bg = "sleep 9 & echo $! >" + d.path + "/bg;", stall = bg + " wait", leave = bg + " echo left";
    // Tool and arguments, lines read before closing, what they say, wait status, most ms taken.
    const std::tuple<std::vector<const char *>, int, std::string, int, int> cases[] = {
        {{"printf", "%s\\n", "w;id>pwn", "l$(id)", "a b`x`|&'\"", nullptr}, 9, "w;id>pwn\nl$(id)\na b`x`|&'\"\n", 0, 1000},
        {{"tw-no-such-tool", "x", nullptr}, 9, "", W_EXITCODE(127, 0), 1000},
        {{"seq", "1", "100000000", nullptr}, 1, "1\n", W_EXITCODE(0, SIGPIPE), 1000},
        {{"sh", "-c", stall.c_str(), nullptr}, 9, "", W_EXITCODE(0, SIGKILL), 4000},  // a few seconds
        {{"sh", "-c", leave.c_str(), nullptr}, 9, "left\n", 0, 1000},
        {{"sh", "-c", "for f in 3 4 5 6 7 8 9; do [ -e /proc/$$/fd/$f ] && echo $f; done; readlink /proc/$$/fd/0",
          nullptr}, 9, "/dev/null\n", 0, 1000},
        // What the tool inherits: no blocked or ignored signal, its own group, /dev/null around its output.
        {{"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status", nullptr}, 9,
         "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n", 0, 1000},
        {{"sh", "-c", "set -- $(cut -d' ' -f1,5 /proc/$$/stat); [ $1 = $2 ] && echo own group", nullptr}, 9,
         "own group\n", 0, 1000},
        {{"readlink", "/proc/self/fd/0", "/proc/self/fd/2", nullptr}, 9, "/dev/null\n/dev/null\n", 0, 1000},
    };
    ::signal(SIGPIPE, SIG_IGN);  // as the monitor does
    sigset_t usr1, old;  // a mask the monitor might hold; the tool must not
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &usr1, &old);
    ASSERT_EQ(::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 7), 7);  // inherited, as in `tarnwatch 7>file`
    const int keyboard = ::dup(0);  // the monitor's input is the terminal, never a tool's
    ASSERT_EQ(::dup2(::open(d.write("keys", "q").c_str(), O_RDONLY | O_CLOEXEC), 0), 0);
    for (const auto &[argv, max_lines, out, status, max_ms] : cases) {
        SCOPED_TRACE(argv.back() ? argv.back() : argv[argv.size() - 2]);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(run_tool(argv, max_lines), std::make_pair(out, status));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(max_ms));
        const std::string child = read_whole_file(d.path + "/bg");
        EXPECT_TRUE(child.empty() || process_gone(child.substr(0, child.size() - 1))) << child;
        ::unlink((d.path + "/bg").c_str());
    }
    ::dup2(keyboard, 0);
    ::close(keyboard);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    ::close(7);
}

// Output without end, in lines or in one endless line: each run ends with its budget,
// and a line cut by it is dropped, not handed on as a shorter one.
TEST(run_tool, a_tool_that_never_stops_writing_ends_with_the_run_budget)
{
    const std::pair<const char *, int> cases[] = {{"while :; do echo x; sleep 0.5; done", 5}, {"exec cat /dev/zero", 0}};
    for (const auto &[script, min_lines] : cases) {
        SCOPED_TRACE(script);
        const auto t0 = std::chrono::steady_clock::now();
        bool timed_out = false;
        const std::string got = run_tool({"sh", "-c", script, nullptr}, 1000, 8, &timed_out).first;
        EXPECT_GE(got.size(), 2u * min_lines);
        EXPECT_LE(got.size(), min_lines == 0 ? 0 : 22u);
        EXPECT_TRUE(timed_out);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(6500));  // about 5 s each
    }
}

// The /dev/null a tool gets is kept between runs; a caller that closes or
// replaces it (dup2 of another file onto it) must not hand the next tool that
// file as its input or its error output.
TEST(run_tool, a_replaced_dev_null_is_never_handed_to_a_tool)
{
    TempDir d;
    const char *argv[] = {"readlink", "/proc/self/fd/0", "/proc/self/fd/2", nullptr};
    for (int round = 0; round < 2; round++) {
        ToolRun t;
        ASSERT_EQ(tool_start(&t, argv), 0);
        std::string got;
        char line[64];
        while (tool_getline(&t, line, sizeof line) >= 0) got += std::string(line) + "\n";
        EXPECT_EQ(tool_close(&t), 0);
        EXPECT_EQ(got, "/dev/null\n/dev/null\n") << "round " << round;
        // Every /dev/null of ours now leads to a regular file instead.
        const int other = ::open(d.write("other", "x").c_str(), O_RDWR | O_CLOEXEC);
        for (int fd = 3; fd < 64; fd++) {
            char to[16] = "";
            std::string link = "/proc/self/fd/" + std::to_string(fd);
            if (fd != other && ::readlink(link.c_str(), to, sizeof to - 1) == 9 && std::string(to) == "/dev/null")
                ::dup2(other, fd);
        }
        ::close(other);
    }
}

}  // namespace
