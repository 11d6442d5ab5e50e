// The real monitor on a real terminal: page keys, quitting, and the terminal
// handed back intact however the monitor ends or is suspended.
#include <chrono>
#include <csignal>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/pty_session.hpp"
#include "support/tmpdir.hpp"

namespace {

// Quiet, quick discovery: no configs, no bird, no real NICs, no captures.
const std::vector<std::string> QUIET = {"-W", "/nonexistent", "-b", "/nonexistent", "-B", "/bin/false",
                                        "-w", "twnone0", "-l", "twnone1", "-D"};
constexpr const char *HEADER = "   interval=1s   ";
constexpr const char *HIDE = "\x1b[?25l";
constexpr const char *SHOW = "\x1b[?25h";

std::vector<std::string> tw_argv(std::vector<std::string> opts)
{
    std::vector<std::string> argv{TW_BIN};
    argv.insert(argv.end(), opts.begin(), opts.end());
    argv.insert(argv.end(), QUIET.begin(), QUIET.end());
    return argv;
}

std::string tw_cmdline(const std::vector<std::string> &opts)
{
    std::string line;
    for (const std::string &a : tw_argv(opts)) line += "'" + a + "' ";
    return line;
}

// The tab line with `page` bold and the other three dim.
std::string tab_line(int page)
{
    static const char *names[] = {"Overview", "Interfaces", "BurstCatch", "Moatwall"};
    std::string s = " ";
    for (int i = 1; i <= 4; i++)
        s += std::string(i == page ? "\x1b[1m" : "\x1b[2m") + "[" + std::to_string(i) + ":" + names[i - 1] + "]\x1b[0m ";
    return s;
}

// The page of the last screen painted, or 0 if none was.
int last_page(const std::string &out)
{
    size_t at = out.rfind("\x1b[1m[");
    if (at == std::string::npos || at + 5 >= out.size()) return 0;
    return out[at + 5] - '0';
}

// stty -a flags are whole words: "-echo" must not match "-echoe".
bool has_flag(const std::string &stty, const std::string &flag)
{
    std::istringstream words(stty);
    for (std::string w; words >> w;)
        if (w == flag) return true;
    return false;
}

bool raw_keys(const std::string &stty)
{
    return has_flag(stty, "-icanon") && has_flag(stty, "-echo") && has_flag(stty, "isig") &&
           stty.find("min = 0;") != std::string::npos && stty.find("time = 0;") != std::string::npos;
}

bool cursor_shown_at_end(const std::string &out)
{
    size_t show = out.rfind(SHOW), hide = out.rfind(HIDE);
    return show != std::string::npos && (hide == std::string::npos || show > hide);
}

double secs_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The monitor run by a non-interactive bash that records the terminal before and after.
struct Bracketed {
    TempDir dir;
    PtySession s;
    bool start(const std::vector<std::string> &opts)
    {
        std::string line = "stty -a >'" + dir.path + "/before'; " + tw_cmdline(opts) +
                           "; echo TW_EXIT=$?; stty -a >'" + dir.path + "/after'";
        return s.start({"/bin/bash", "--norc", "--noprofile", "-c", line});
    }
    std::string before() const { return read_whole_file(dir.path + "/before"); }
    std::string after() const { return read_whole_file(dir.path + "/after"); }
};

// An interactive dash with job control. dash keeps no terminal state of its own
// across a stop, so what the shell gets back is exactly what the monitor left.
const std::string PROMPT = "twprompt> ";

void start_job_shell(PtySession &s, std::string *shell_stty)
{
    ASSERT_TRUE(s.start({"/bin/sh", "-i"}, {"PS1=" + PROMPT, "ENV="}));
    ASSERT_TRUE(s.wait_for(PROMPT, 0, 5)) << s.out;
    *shell_stty = stty_of(s.slave);
    ASSERT_TRUE(has_flag(*shell_stty, "icanon") && has_flag(*shell_stty, "echo")) << *shell_stty;
}

// The state letter of /proc/PID/stat ('T' stopped, 'Z' ended), or 0 when gone.
char proc_state(pid_t pid)
{
    std::string st = read_whole_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = st.rfind(')');
    return close == std::string::npos || close + 2 >= st.size() ? 0 : st[close + 2];
}

}  // namespace

TEST(LiveKeys, PageKeysAndArrowsSwitchAndWrap)
{
    PtySession s;
    ASSERT_TRUE(s.start(tw_argv({"-C", "-i", "1"})));
    ASSERT_TRUE(s.wait_for(tab_line(1), 0, 5)) << s.out;
    // Nothing but the hidden cursor before the first screen (the not-root warning aside).
    if (geteuid() == 0) {
        EXPECT_EQ(s.out.substr(0, s.out.find("\x1b[H")), HIDE);
    }

    struct Step {
        const char *keys;
        int page;
    } steps[] = {
        {"2", 2}, {"3", 3}, {"4", 4}, {"n", 1}, {"p", 4}, {"p", 3}, {"1", 1},
        {"p", 4}, {"n", 1}, {"\x1b[C", 2}, {"\x1b[C", 3}, {"\x1b[D", 2}, {"\x1b[D", 1}, {"\x1b[D", 4},
        {"\x1b[C", 1},
    };
    int step = 0;
    for (const Step &st : steps) {
        SCOPED_TRACE("step " + std::to_string(step++));
        size_t from = s.out.size();
        s.send(st.keys);
        ASSERT_TRUE(s.wait_for(tab_line(st.page), from, 3)) << s.out.substr(from);
        EXPECT_EQ(last_page(s.out), st.page);
    }
    s.send("q");
    ASSERT_TRUE(s.wait_exit(5));
    EXPECT_TRUE(WIFEXITED(s.status) && WEXITSTATUS(s.status) == 0) << s.status;
}

TEST(LiveKeys, ArrowSplitOverTwoReadsIsNoKey)
{
    PtySession s;
    ASSERT_TRUE(s.start(tw_argv({"-C", "-i", "1"})));
    ASSERT_TRUE(s.wait_for(tab_line(1), 0, 5)) << s.out;

    size_t from = s.out.size();
    s.send("\x1b");
    s.pump(0.3);
    s.send("[C");
    // The next sample repaints whatever page is current.
    ASSERT_TRUE(s.wait_for(HEADER, from, 3));
    ASSERT_TRUE(s.wait_for(tab_line(1), from, 1)) << s.out.substr(from);
    EXPECT_EQ(s.out.find("\x1b[1m[2:", from), std::string::npos);

    // The same bytes in one read are the Right arrow.
    from = s.out.size();
    s.send("\x1b[C");
    EXPECT_TRUE(s.wait_for(tab_line(2), from, 3));
    s.send("q");
    ASSERT_TRUE(s.wait_exit(5));
}

TEST(LiveKeys, QuitStillHandlesTheKeysReadWithIt)
{
    struct Case {
        const char *keys;
        int page;
    } cases[] = {{"q2", 2}, {"4nq", 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        PtySession s;
        ASSERT_TRUE(s.start(tw_argv({"-C", "-i", "1"})));
        ASSERT_TRUE(s.wait_for(tab_line(1), 0, 5)) << s.out;
        size_t from = s.out.size();
        s.send(c.keys);
        ASSERT_TRUE(s.wait_exit(5));
        EXPECT_TRUE(WIFEXITED(s.status) && WEXITSTATUS(s.status) == 0) << s.status;
        EXPECT_NE(s.out.find(tab_line(c.page), from), std::string::npos) << s.out.substr(from);
        EXPECT_EQ(last_page(s.out), c.page);
    }
}

TEST(LiveKeys, KeepScrollbackLeavesTerminalAndKeysAlone)
{
    Bracketed b;
    ASSERT_TRUE(b.start({"-C", "-k", "-i", "1"}));
    ASSERT_TRUE(b.s.wait_for(tab_line(1), 0, 5)) << b.s.out;
    EXPECT_EQ(stty_of(b.s.slave), b.before());

    size_t from = b.s.out.size();
    b.s.send("2");
    b.s.send("q");
    ASSERT_TRUE(b.s.wait_for(HEADER, from, 3));
    b.s.pump(0.2);
    EXPECT_EQ(last_page(b.s.out), 1);
    EXPECT_EQ(b.s.out.find("TW_EXIT", from), std::string::npos) << "q ended the monitor";
    EXPECT_EQ(b.s.out.find("\x1b[2J"), std::string::npos);

    pid_t tw = find_child(b.s.pid, "tarnwatch");
    ASSERT_GT(tw, 0);
    kill(tw, SIGTERM);
    EXPECT_TRUE(b.s.wait_for("TW_EXIT=0", from, 5)) << b.s.out.substr(from);
    ASSERT_TRUE(b.s.wait_exit(5));
    EXPECT_EQ(b.after(), b.before());
}

TEST(LiveRestore, TerminalBackAfterEveryEnding)
{
    enum How { KEY_Q, CTRL_C, TERM, HUP };
    struct Case {
        const char *name;
        How how;
    } cases[] = {{"q", KEY_Q}, {"Ctrl-C", CTRL_C}, {"SIGTERM", TERM}, {"SIGHUP", HUP}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bracketed b;
        ASSERT_TRUE(b.start({"-C", "-i", "1"}));
        ASSERT_TRUE(b.s.wait_for(tab_line(1), 0, 5)) << b.s.out;
        std::string running = stty_of(b.s.slave);
        EXPECT_TRUE(raw_keys(running)) << running;
        EXPECT_NE(b.s.out.find(HIDE), std::string::npos);

        pid_t tw = find_child(b.s.pid, "tarnwatch");
        ASSERT_GT(tw, 0);
        switch (c.how) {
        case KEY_Q: b.s.send("q"); break;
        case CTRL_C: b.s.send("\x03"); break;
        case TERM: kill(tw, SIGTERM); break;
        case HUP: kill(tw, SIGHUP); break;
        }
        EXPECT_TRUE(b.s.wait_for("TW_EXIT=0", 0, 5)) << b.s.out;
        ASSERT_TRUE(b.s.wait_exit(5));
        std::string before = b.before();
        EXPECT_NE(before.find("icanon"), std::string::npos);
        EXPECT_EQ(b.after(), before);
        EXPECT_TRUE(cursor_shown_at_end(b.s.out));
    }
}

TEST(LiveRestore, SuspendGivesShellBackAndResumeRepaints)
{
    PtySession s;
    std::string shell;
    ASSERT_NO_FATAL_FAILURE(start_job_shell(s, &shell));

    // A long interval: a screen right after fg can only be the repaint.
    size_t from = s.out.size();
    s.send(tw_cmdline({"-C", "-i", "30"}) + "\n");
    ASSERT_TRUE(s.wait_for(tab_line(1), from, 5)) << s.out.substr(from);
    EXPECT_TRUE(raw_keys(stty_of(s.slave)));
    s.send("2");
    ASSERT_TRUE(s.wait_for(tab_line(2), from, 3));

    // Twice: the second Ctrl-Z must find the handler in place again.
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        from = s.out.size();
        s.send("\x1a");
        ASSERT_TRUE(s.wait_for(PROMPT, from, 5)) << s.out.substr(from);
        EXPECT_EQ(stty_of(s.slave), shell);
        EXPECT_TRUE(cursor_shown_at_end(s.out));

        from = s.out.size();
        s.send("fg\n");
        ASSERT_TRUE(s.wait_for(tab_line(2), from, 3)) << s.out.substr(from);
        EXPECT_TRUE(raw_keys(stty_of(s.slave)));
        EXPECT_FALSE(cursor_shown_at_end(s.out));
    }

    from = s.out.size();
    s.send("q");
    ASSERT_TRUE(s.wait_for(PROMPT, from, 5)) << s.out.substr(from);
    EXPECT_EQ(stty_of(s.slave), shell);
    EXPECT_TRUE(cursor_shown_at_end(s.out));
    s.send("exit\n");
    EXPECT_TRUE(s.wait_exit(5));
}

TEST(LiveSampling, CountLimitsSamplesAndWaits)
{
    struct Case {
        const char *count;
        size_t screens;
        double min_secs, max_secs;
    } cases[] = {{"3", 3, 1.95, 6.0}, {"0", 0, 0.0, 0.9}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("-n ") + c.count);
        PtySession s;
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(s.start(tw_argv({"-M", "-i", "1", "-n", c.count})));
        ASSERT_TRUE(s.wait_exit(10));
        double took = secs_since(t0);
        EXPECT_TRUE(WIFEXITED(s.status) && WEXITSTATUS(s.status) == 0) << s.status;
        EXPECT_EQ(count_of(s.out, HEADER), c.screens) << s.out;
        EXPECT_GE(took, c.min_secs);
        EXPECT_LE(took, c.max_secs);
        if (c.screens == 0 && geteuid() == 0) {
            EXPECT_EQ(s.out, "");
        }
    }
}

TEST(LiveRestore, KilledWhileSuspendedEnds)
{
    PtySession s;
    std::string shell;
    ASSERT_NO_FATAL_FAILURE(start_job_shell(s, &shell));
    size_t from = s.out.size();
    s.send(tw_cmdline({"-C", "-i", "1"}) + "\n");
    ASSERT_TRUE(s.wait_for(tab_line(1), from, 5)) << s.out.substr(from);
    pid_t tw = find_child(s.pid, "tarnwatch");
    ASSERT_GT(tw, 0);
    from = s.out.size();
    s.send("\x1a");
    ASSERT_TRUE(s.wait_for(PROMPT, from, 5)) << s.out.substr(from);

    // What bash's `kill %1` sends to a stopped job: it wakes up in the background.
    kill(tw, SIGTERM);
    kill(tw, SIGCONT);
    char state = 'T';
    for (int i = 0; i < 60 && state != 'Z' && state != 0; i++) {
        s.pump(0.05);
        state = proc_state(tw);
    }
    EXPECT_TRUE(state == 'Z' || state == 0) << "state " << state;
    EXPECT_EQ(stty_of(s.slave), shell);
    if (state == 'T') kill(tw, SIGKILL);
    from = s.out.size();
    s.send("jobs\n");
    EXPECT_TRUE(s.wait_for("Done", from, 3)) << s.out.substr(from);
    s.send("exit\n");
    EXPECT_TRUE(s.wait_exit(5)) << s.out.substr(from);
}
