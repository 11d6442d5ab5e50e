#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/run_tool.hpp"
#include "support/tmpdir.hpp"

namespace {

std::string script(const TempDir &d, const std::string &name, const std::string &body)
{
    std::string p = d.write(name, "#!/bin/sh\n" + body + "\n");
    ::chmod(p.c_str(), 0755);
    return p;
}

std::string all_lines(ToolRun *t)
{
    std::string out;
    char line[256];
    while (tool_getline(t, line, sizeof line) >= 0) out += std::string(line) + "\n";
    return out;
}

double secs_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST(run_tool, arguments_arrive_verbatim_and_missing_tool_gives_nothing)
{
    TempDir d;
    std::string echo = script(d, "argv", "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done");
    const char *argv[] = {echo.c_str(), "w;id>pwn", "l$(id)", "a b`x`|&'\"", nullptr};
    ToolRun t;
    ASSERT_EQ(tool_start(&t, argv), 0);
    EXPECT_EQ(all_lines(&t), "[w;id>pwn]\n[l$(id)]\n[a b`x`|&'\"]\n");
    int st = tool_close(&t);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);

    const char *missing[] = {"tw-no-such-tool", "x", nullptr};
    ASSERT_EQ(tool_start(&t, missing), 0);
    EXPECT_EQ(all_lines(&t), "");
    st = tool_close(&t);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 127);
    EXPECT_EQ(tool_close(&t), -1);
}

// The monitor ignores SIGPIPE; a tool closed early must still end at its next write.
TEST(run_tool, early_close_ends_a_chatty_tool_at_once)
{
    auto old = ::signal(SIGPIPE, SIG_IGN);
    const char *argv[] = {"seq", "1", "100000000", nullptr};
    ToolRun t;
    ASSERT_EQ(tool_start(&t, argv), 0);
    char line[32];
    ASSERT_GE(tool_getline(&t, line, sizeof line), 0);
    auto t0 = std::chrono::steady_clock::now();
    int st = tool_close(&t);
    EXPECT_LT(secs_since(t0), 0.5);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGPIPE) << st;
    ::signal(SIGPIPE, old);
}

// A tool that writes nothing and never ends costs one read timeout plus the
// one-second grace, and neither it nor what it started survives.
TEST(run_tool, stalled_tool_is_bounded_and_killed_with_its_children)
{
    TempDir d;
    std::string pidfile = d.path + "/sleeper";
    std::string stall = script(d, "stall", "sleep 30 & echo $! > " + pidfile + "\nwait");
    const char *argv[] = {stall.c_str(), nullptr};
    ToolRun t;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(tool_start(&t, argv), 0);
    char line[64];
    EXPECT_EQ(tool_getline(&t, line, sizeof line), -1);
    int st = tool_close(&t);
    double took = secs_since(t0);
    EXPECT_GE(took, TOOL_READ_TIMEOUT_MS / 1000.0);
    EXPECT_LT(took, TOOL_READ_TIMEOUT_MS / 1000.0 + 2.0);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    // Dead means gone or a zombie: its new parent may be slow to reap it.
    std::string stat = read_whole_file("/proc/" + std::to_string(std::stoi(read_whole_file(pidfile))) + "/stat");
    size_t paren = stat.rfind(')');
    char state = paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 'X';
    EXPECT_TRUE(state == 'Z' || state == 'X') << "the tool's child outlived it: " << stat;
}

}  // namespace
