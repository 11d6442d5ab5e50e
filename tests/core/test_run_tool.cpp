#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <vector>

#include "core/run_tool.hpp"
#include "support/fixture_rows.hpp"
#include "support/launch.hpp"

namespace {

// The keyboard while a sample's tools run: a stand-in terminal with one key
// typed, and the key handler's answer.
int g_keys_fd = -1;
bool g_keys_go_on = true;
int g_keys_calls = 0;
bool take_key()
{
    char c;
    g_keys_calls += ::read(g_keys_fd, &c, 1) == 1;
    return g_keys_go_on;
}

// The monitor ignores SIGPIPE, yet a chatty tool closed early must end at its next
// write; a stalled one costs one read timeout, and what it started goes with it;
// one that leaves a child holding the pipe costs no wait at all; output without end
// ends with the run's budget, a line cut by it dropped; no descriptor of the
// monitor reaches a tool, and a /dev/null the caller replaced is never handed on.
// A key typed while a run waits for output or for the tool's end is handed on at
// once; a handler that quits ends the run and its tool as a time-out would, and
// no other run of the sample starts.
TEST(run_tool, arguments_arrive_verbatim_and_bad_tools_are_bounded)
{
    TempDir d;
    setenv("TOOL_DIR", d.path.c_str(), 1);  // where a row's tool leaves the pid of its background child
    // SIGPIPE ignored as the monitor does; the rest as a tmux session or a
    // job-control shell may hand them over, ignored or blocked.
    const int ignored[] = {SIGPIPE, SIGTTIN, SIGTTOU, SIGUSR2, SIGRTMAX};
    sighandler_t before[std::size(ignored)];
    for (size_t i = 0; i < std::size(ignored); i++) before[i] = ::signal(ignored[i], SIG_IGN);
    sigset_t blocked, old;
    sigemptyset(&blocked);
    for (int sig : {SIGUSR1, SIGTTOU, SIGCHLD, SIGALRM}) sigaddset(&blocked, sig);
    ::sigprocmask(SIG_BLOCK, &blocked, &old);
    ASSERT_EQ(::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 7), 7);  // inherited, as in `tarnwatch 7>file`
    const int keyboard = ::dup(0);  // the monitor's input is the terminal, never a tool's
    ASSERT_EQ(::dup2(::open(d.write("keys", "q").c_str(), O_RDONLY | O_CLOEXEC), 0), 0);
    const int other = ::open(d.write("other", "").c_str(), O_RDWR | O_CLOEXEC);
    std::error_code ec;
    for (const FixtureRow &row : fixture_rows("core/fixtures/tools.tsv", 9)) {
        SCOPED_TRACE(row[8]);
        std::string words = row[0];
        const std::vector<char *> argv = field_args(words);
        int keys[2];
        ASSERT_EQ(::pipe(keys), 0);
        const bool typed = row[7] != "-";
        g_keys_fd = keys[0], g_keys_go_on = row[7] != "quits", g_keys_calls = 0;
        tool_sample_begin(60000);  // long: only the run's own bounds count
        tool_watch_keys(keys[0], take_key);
        const auto t0 = std::chrono::steady_clock::now();
        std::thread typist([&] { typed && usleep(200000) == 0 && ::write(keys[1], "q", 1) == 1; });
        ToolRun t;
        ASSERT_EQ(tool_start(&t, argv.data()), 0);
        std::string got;
        char line[64];
        for (int i = 0; i < std::stoi(row[1]) && tool_getline(&t, line, std::stoul(row[2])) >= 0; i++)
            got += std::string(line) + "\n";
        const int st = tool_close(&t);
        typist.join();
        const std::string ended = WIFEXITED(st) ? "exit " + std::to_string(WEXITSTATUS(st)) : strsignal(WTERMSIG(st));
        EXPECT_TRUE(row[4] == "any" || ended == row[4]) << ended;
        EXPECT_EQ(got, row[3]);
        EXPECT_EQ(t.timed_out, row[5] == "1");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(std::stoi(row[6])));
        EXPECT_EQ(g_keys_calls, typed);
        // After a quit no run of the sample starts; after a time-out, no run of that tool.
        const char *const other_tool[] = {"true", nullptr};
        ToolRun next;
        EXPECT_EQ(tool_start(&next, g_keys_go_on ? argv.data() : other_tool) == 0, g_keys_go_on && !t.timed_out);
        tool_close(&next);
        tool_watch_keys(-1, nullptr);
        tool_sample_end();
        ::close(keys[0]);
        ::close(keys[1]);
        const std::string child = read_whole_file(d.path + "/bg");
        EXPECT_TRUE(child.empty() || process_gone(child.substr(0, child.size() - 1))) << child;
        ::unlink((d.path + "/bg").c_str());
        // The first run has made the /dev/null kept between runs: every /dev/null of ours now
        // points at a regular file instead, as a caller that closes or replaces one would make it.
        for (int fd = 3; fd < 64; fd++) {
            const std::string link = "/proc/self/fd/" + std::to_string(fd);
            if (fd != other && fd != keyboard && std::filesystem::read_symlink(link, ec) == "/dev/null") ::dup2(other, fd);
        }
    }
    ::dup2(keyboard, 0);
    ::close(keyboard);
    ::close(other);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    for (size_t i = 0; i < std::size(ignored); i++) ::signal(ignored[i], before[i]);
    ::close(7);
    unsetenv("TOOL_DIR");
}

}  // namespace
