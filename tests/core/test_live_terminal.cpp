// The real monitor on a real terminal, started from an interactive shell with job
// control: page keys, quitting, and the terminal handed back intact however it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <termios.h>
#include <vector>

#include "support/launch.hpp"
#include "support/netns.hpp"
#include "support/pty_session.hpp"
#include "support/tmpdir.hpp"

namespace {

// Quiet, quick discovery: no configs, no bird, no real NICs, no captures.
constexpr const char *QUIET = " -W /nonexistent -b /nonexistent -w twnone0 -l twnone1 -D";
constexpr const char *PROMPT = "twprompt> ";

// The current page's tab, bold (the whole tab line's layout is the painter's business).
std::string bold_tab(int page) { return "\x1b[1m[" + std::to_string(page) + ":"; }

using Steps = std::vector<std::pair<std::string, std::string>>;

// Each run: environment, options, keys typed and the text each brings up (no
// keys: a wait, as for the first screen), the signal that ends it (0: the keys
// do), and what escapes it may write (0 none, 1 screen sequences only, 2 colour
// too). Keys are answered within a second. While a live run shows a page, keys
// come one at a time, without echo, Ctrl-C and Ctrl-Z still signals; at the
// prompt (after Ctrl-Z or the end) the terminal is as found, cursor shown.
TEST(LiveTerminal, KeysSuspendAndEveryEndingLeaveTheTerminalAsFound)
{
    // dash keeps no terminal state of its own across a job, so what it gets back
    // is exactly what the monitor left.
    PtySession s;
    ASSERT_TRUE(s.start({"/usr/bin/env", (std::string("PS1=") + PROMPT).c_str(), "ENV=", "TERM=xterm", "/bin/sh", "-i"}));
    ASSERT_TRUE(s.read_until(PROMPT, 5)) << s.out;
    const auto stty = [&] { return sh_out("stty -a -F " + s.slave); };
    const std::string shell = stty();  // as the prompt has it
    // Shown last, and right after an attribute reset: a signal that lands inside
    // a red word must not leave the shell red.
    const auto cursor_shown = [&] {
        const size_t show = s.out.rfind("\x1b[?25h"), hide = s.out.rfind("\x1b[?25l");
        return show != std::string::npos && (hide == std::string::npos || show > hide) && show >= 4 &&
               s.out.compare(show - 4, 4, "\x1b[0m") == 0;
    };
    // Keys from another terminal that goes away without a hang-up signal (its
    // master closed; it is not the controlling terminal): the monitor stops
    // reading keys instead of spinning on reads that return nothing.
    const int keys_pt = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(keys_pt >= 0 && grantpt(keys_pt) == 0 && unlockpt(keys_pt) == 0);
    const std::string vanishing = std::string("-C -i 1 <") + ptsname(keys_pt);
    // A BIRD client that stalls holds each collection for 3 s, and says on the
    // terminal when it starts.
    TempDir t;
    const std::string stall = "-C -i 1 -B " + t.write("birdc", "#!/bin/sh\necho $$ >" + t.path +
                                                                 "/pid\necho birdc-stalls >/dev/tty\nexec sleep 30\n");
    sh("chmod +x " + t.path + "/birdc");
    const std::string z = "\x1a", p1 = bold_tab(1), p2 = bold_tab(2), wait = "", stalls = "birdc-stalls";
    const std::tuple<std::string, std::string, Steps, int, int> runs[] = {
        // -n 6: were a key to start a sample early, the monitor would end before the keys do.
        // ESC [ and any byte is one key, ignored; ESC and two other bytes are three keys.
        // Keys read along with the q are still handled before the monitor ends.
        {"", "-C -i 2 -n 6",
         {{"2", p2}, {"3", bold_tab(3)}, {"4", bold_tab(4)}, {"n", p1}, {"p", bold_tab(4)}, {"p", bold_tab(3)},
          {"1", p1}, {"b", p1}, {"\x1b[C", p2}, {"\x1b[D", p1}, {"\x1b[D", bold_tab(4)}, {"\x1b[C", p1},
          {"\x1b[3n", p2}, {"\x1bx4", bold_tab(4)}, {"\x1b[A1", p1}, {"q2", p2}},
         0, 2},
        // While the client stalls, keys are answered from the last sample's pages,
        // and q ends the run and the client, also in the first sample, before there is a page.
        {"", stall, {{wait, stalls}, {"q", "TW_EXIT=0"}}, 0, 2},
        {"", stall, {{wait, "Overview"}, {wait, stalls}, {"4", bold_tab(4)}, {"1", p1}, {"q", "TW_EXIT=0"}}, 0, 2},
        // Three stops: each fg must find the handler in place again; a long
        // interval, so a screen right after fg can only be the repaint. Then
        // what `kill %1` sends to a stopped job: it wakes up and ends cleanly.
        {"", "-C -i 30", {{"2", p2}, {z, PROMPT}, {"fg\n", p2}, {z, PROMPT}, {"fg\n", p2}, {z, PROMPT}}, SIGTERM, 2},
        {"", vanishing, {}, SIGTERM, 2}, {"", "-C -i 1", {{"\x03", ""}}, 0, 2}, {"", "-C -i 1", {}, SIGTERM, 2},
        {"", "-C -i 1", {}, SIGHUP, 2}, {"", "-C -i 1", {{"\x1c", ""}}, 0, 2},  // 0x1c is Ctrl-\ .
        // NO_COLOR, or a terminal that takes no sequences: plain text; the keys still work.
        {"TERM=dumb ", "-i 1", {{"2q", "=== Interface detail"}}, 0, 0},
        {"NO_COLOR=1 ", "-1", {}, 0, 0}, {"NO_COLOR=1 ", "-i 1", {{"2q", "=== Interface detail"}}, 0, 1},
        // With -k the terminal and keys are left alone: neither key of "2q" counts, so the
        // next sample paints page 1 again. Last: "2q" stays typed.
        {"", "-C -k -i 1", {{"2q", p1}}, SIGTERM, 2},
    };
    for (const auto &[env, opts, steps, sig, escapes] : runs) {
        SCOPED_TRACE(env + opts + " signal " + std::to_string(sig));
        const size_t from = s.out.size();
        s.write(env + TW_BIN + QUIET + " -B /bin/false " + opts + "; echo TW_EXIT=$?\n");
        const bool first_screen = steps.empty() || steps[0].first != wait;
        ASSERT_TRUE(!first_screen || s.read_until("Overview", 5)) << s.out.substr(s.sent_at);
        const pid_t tw = tcgetpgrp(s.master);
        const bool keep = opts.find("-k") != std::string::npos, live = !keep && opts != "-1";
        EXPECT_TRUE(live || stty() == shell);
        for (const auto &[keys, shows] : steps) {
            const auto answer_by = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            s.write(keys);
            EXPECT_TRUE(s.read_until(shows, 5)) << testing::PrintToString(keys) << s.out.substr(s.sent_at);
            EXPECT_TRUE(keep || keys == wait || std::chrono::steady_clock::now() < answer_by) << testing::PrintToString(keys);
            if (shows == PROMPT) {
                EXPECT_EQ(stty(), shell);
                EXPECT_TRUE(cursor_shown());
            } else if (live && shows.starts_with("\x1b[1m[") && keys.find('q') == std::string::npos) {
                termios tio{};
                ASSERT_EQ(tcgetattr(s.master, &tio), 0);
                EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ISIG));
                EXPECT_EQ(tio.c_cc[VMIN] + tio.c_cc[VTIME], 0);
                EXPECT_FALSE(cursor_shown());
            }
        }
        if (opts == vanishing) {
            const std::string ticks = "awk '{print $14 + $15}' /proc/" + std::to_string(tw) + "/stat";
            ::close(keys_pt);
            usleep(200000);
            const unsigned long before = std::stoul(sh_out(ticks));  // utime + stime
            EXPECT_TRUE(s.read_until(p1, 3));  // still sampling
            usleep(1500000);
            EXPECT_LT(std::stoul(sh_out(ticks)) - before, static_cast<unsigned long>(sysconf(_SC_CLK_TCK) / 5));
        }
        const bool stopped = !steps.empty() && steps.back().second == PROMPT;
        if (sig) kill(-tw, sig);
        if (stopped) kill(-tw, SIGCONT);
        for (int i = 0; stopped && i < 20 && !s.read_until("Done", 0.2); i++) s.write("jobs\n");
        EXPECT_TRUE(s.read_until(stopped ? "Done" : "TW_EXIT=0", 5)) << s.out.substr(s.sent_at);
        ASSERT_TRUE(s.read_until(PROMPT, 5)) << s.out.substr(s.sent_at);
        EXPECT_EQ(stty(), shell);
        EXPECT_TRUE(opts != stall || process_gone(std::to_string(std::stoi(read_whole_file(t.path + "/pid")))))
            << "the stalled client outlived the monitor";
        const std::string out = s.out.substr(from);
        const bool painted = out.find("Overview") != std::string::npos;
        EXPECT_EQ(out.find('\x1b') != std::string::npos, escapes > 0) << testing::PrintToString(out.substr(0, 200));
        EXPECT_EQ(out.find("\x1b[1m") != std::string::npos, escapes > 1 && painted);
        EXPECT_EQ(out.find("\x1b[?1049h") != std::string::npos, live && escapes && painted);
        EXPECT_EQ(out.find("\x1b[2J") != std::string::npos, live && escapes && painted);
        EXPECT_TRUE(!live || escapes < 2 || cursor_shown());
    }
}

// A lab of 80 interfaces, in tmux at three window sizes, one after the other
// by resizing. After every key the header, the tabs and the alert line are the
// top three rows (a wrapped or scrolled screen would push them off) and the
// last row of a long page counts what is left. After q the shell's own output
// from before is back, with nothing of the monitor's screens in its history.
TEST(TmuxScreen, FitsEverySizeScrollsAndLeavesTheScrollback)
{
    if (!netns_available() || sh("command -v tmux >/dev/null") != 0) GTEST_SKIP() << "needs root, namespaces and tmux";
    NetnsGuard ns("twtmux");
    ASSERT_EQ(ns.run("sh -c 'i=0; while [ $i -le 39 ]; do ip link add lan0.$i type veth peer name p$i; i=$((i+1)); "
                     "done; ip link set lan0.0 name lan0'"), 0);
    // A tmux server of its own: what its window shows is what a user sees.
    const struct TmuxServer {
        std::string tmux = "tmux -f /dev/null -L tw" + std::to_string(getpid()) + " ";
        ~TmuxServer() { sh(tmux + "kill-server 2>/dev/null"); }
    } server;
    const std::string &tmux = server.tmux;
    std::vector<std::string> r;  // the rows last seen
    // Whether ok holds for the rows shown within 5 s.
    auto shows = [&](const std::function<bool()> &ok) {
        for (int i = 0; i < 250; i++, usleep(20000)) {
            const std::string text = sh_out(tmux + "capture-pane -p");
            r.clear();
            for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) r.push_back(text.substr(at, nl - at));
            if (ok()) return true;
        }
        return false;
    };
    auto joined = [&] { return testing::PrintToString(r); };
    sh(tmux + "new-session -d -x 80 -y 24 'ip netns exec " + ns.name + " env PS1=twtmux\\> ENV= /bin/sh'");
    sh(tmux + "send-keys 'echo BEFORE-START; seq 101 130' Enter");
    // Typed while seq runs, the next line would be echoed into its output.
    shows([&] { return std::find(r.begin(), r.end(), "130") != r.end(); });
    // A long interval: every screen after the first comes from a key or a resize.
    sh(tmux + "send-keys '" TW_BIN " -i 600 -l lan0 -D -W /nonexistent -b /nonexistent -B /bin/false; echo TW_EXIT=$?' Enter");
    for (const auto &[cols, rows] : {std::pair{80, 24}, {120, 40}, {60, 20}}) {
        SCOPED_TRACE(std::to_string(cols) + "x" + std::to_string(rows));
        const auto t0 = std::chrono::steady_clock::now();
        sh(tmux + "resize-window -x " + std::to_string(cols) + " -y " + std::to_string(rows));
        // The top rows, and what the page shows below them (a marker: on the last row).
        auto screen_with = [&](const std::string &body) {
            return [&, body] {
                return static_cast<int>(r.size()) == rows && r[0].find("   interval=600s") != std::string::npos &&
                       r[1].find("?=help") != std::string::npos && r[2].starts_with("!! ACTIVE: ") &&
                       (body.starts_with("-- ") ? r.back() + "|" == body : joined().find(body) != std::string::npos);
            };
        };
        ASSERT_TRUE(shows(screen_with("=== UDP underlay"))) << joined();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));  // not a sample

        sh(tmux + "send-keys 2");
        ASSERT_TRUE(shows(screen_with("=== Interface detail"))) << joined();
        const auto head = std::find_if(r.begin(), r.end(), [](auto &l) { return l.starts_with("=== Interface detail"); });
        int below = 0;
        ASSERT_EQ(std::sscanf(r.back().c_str(), "-- %d more lines: PgDn --", &below), 1) << joined();
        const int shown = static_cast<int>(r.end() - 1 - head), total = below + shown;
        auto more = [](int n) { return "-- " + std::to_string(n) + " more lines: PgDn --|"; };
        auto above = [](int n) { return "-- " + std::to_string(n) + " lines above: PgUp --|"; };
        const std::pair<const char *, std::string> steps[] = {
            {"Down", more(below - 1)}, {"PgDn", more(below - 1 - shown)}, {"End", above(total - shown)},
            {"PgDn", above(total - shown)}, {"PgUp", more(shown)}, {"Up", more(shown + 1)}, {"Home", more(below)},
            {"PgUp", more(below)}, {"'?'", "=== Keys on page 2, Interfaces"}, {"x", more(below)},
            {"3", "=== "}, {"4", "=== MOATWALL"}, {"PgDn", "=== "}, {"End", "=== "}, {"1", "=== UDP underlay"},
        };
        for (const auto &[key, want] : steps) {
            sh(tmux + "send-keys " + key);
            EXPECT_TRUE(shows(screen_with(want))) << key << " -> " << want << "\n" << joined();
        }
    }
    sh(tmux + "send-keys q");
    EXPECT_TRUE(shows([&] { return joined().find("TW_EXIT=0") != std::string::npos; })) << joined();
    const std::string history = sh_out(tmux + "capture-pane -p -S -");
    EXPECT_NE(history.find("BEFORE-START\n101\n"), std::string::npos) << history;
    EXPECT_EQ(history.find("interval="), std::string::npos) << history;
}

}  // namespace
