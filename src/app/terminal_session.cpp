#include "app/terminal_session.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>

#include "burst/burst_state.hpp"
#include "core/child_groups.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/terminal.hpp"
#include "export/textfile_export.hpp"

static struct termios g_tio_saved;
static volatile sig_atomic_t g_tio_set = 0;
static volatile sig_atomic_t g_repaint_wanted = 0;  // set on SIGCONT: redraw after fg
static volatile sig_atomic_t g_resized = 0;         // set on SIGWINCH: fit and redraw

static void write_all(int fd, const char *s)
{
    size_t n = std::strlen(s);
    while (n > 0) {
        ssize_t w = ::write(fd, s, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        s += w;
        n -= static_cast<size_t>(w);
    }
}

// False once the shell has put us in the background: the terminal is no longer
// ours to set, and touching it would only stop us again with SIGTTOU.
static bool terminal_is_ours()
{
    pid_t fg = tcgetpgrp(STDIN_FILENO);
    return fg < 0 || fg == getpgrp();
}

// Keys byte by byte without echo, from the saved attributes; signal generation
// stays on so Ctrl-C still works. Async-signal-safe (used on resume from Ctrl-Z).
static bool apply_raw_mode()
{
    struct termios raw = g_tio_saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    return tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

// The user's own screen back, with its scrollback, and a cursor shown. A signal
// may land mid-paint, inside a colour: the colour is reset before the shell gets
// the terminal. Async-signal-safe.
static void terminal_hand_back()
{
    if (g_color) write_all(STDOUT_FILENO, "\x1b[0m");
    if (g_term_entered)
        write_all(STDOUT_FILENO, TERM_LEAVE);
    else if (g_color)
        write_all(STDOUT_FILENO, "\x1b[?25h");
}

// Only async-signal-safe calls: this runs from signal handlers too.
static void cleanup_signal_safe()
{
    burst_cleanup_signal_safe();
    tf_cleanup_signal_safe();
    // A tool run is in a group of its own, out of reach of the terminal's Ctrl-C.
    child_groups_kill(SIGKILL);
    // Killed while suspended (kill %1 wakes us in the background): the
    // terminal was handed back at the stop already.
    if (!terminal_is_ours()) return;
    if (g_tio_set) tcsetattr(STDIN_FILENO, TCSANOW, &g_tio_saved);
    terminal_hand_back();
    g_term_entered = 0;
}

void full_cleanup()
{
    // Flush first so the cursor sequence, written directly, comes after the page.
    std::fflush(stdout);
    cleanup_signal_safe();
}

void on_sigint(int)
{
    cleanup_signal_safe();
    ::_exit(0);
}

// Ctrl-Z: hand back a usable terminal, stop, and take raw mode back on fg.
static void on_tstp(int)
{
    int saved_errno = errno;
    if (g_tio_set) tcsetattr(STDIN_FILENO, TCSANOW, &g_tio_saved);
    terminal_hand_back();

    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    struct sigaction mine {};
    sigaction(SIGTSTP, &dfl, &mine);
    sigset_t tstp;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &tstp, nullptr);
    ::kill(::getpid(), SIGTSTP);
    // Resumed here after SIGCONT.
    sigaction(SIGTSTP, &mine, nullptr);
    if (g_tio_set) apply_raw_mode();
    if (g_term_entered) write_all(STDOUT_FILENO, TERM_ENTER);
    g_repaint_wanted = 1;
    errno = saved_errno;
}

// Painting is no job for a handler: the loop sees the flag and repaints.
static void on_winch(int) { g_resized = 1; }

void install_signals()
{
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_sigint;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // The terminal or SSH session going away, or Ctrl-\, must not leave a trigger
    // behind or the terminal raw.
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGQUIT, &sa, nullptr);
    sa.sa_handler = on_tstp;
    sigaction(SIGTSTP, &sa, nullptr);
    // Restarted calls: a resize must not cut a screen write or a tool's read
    // short. The wait between samples still wakes (select is never restarted).
    sa.sa_handler = on_winch;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &sa, nullptr);
    sa.sa_flags = 0;
    // A peer closing its end (gate socket, tool pipe) is an error result, not death.
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
    std::atexit(full_cleanup);
}

// A live screen on a terminal is fitted to its window, and drawn on the
// alternate screen when the terminal takes screen sequences (from the first
// paint on, so the terminal keeps what it showed until there is a page).
// Logs (-k, once mode) and output that is no terminal stay whole.
static bool g_fit = false;

void screen_setup()
{
    g_fit = g_clear && g_count != 1 && isatty(STDOUT_FILENO);
    g_term_full = g_fit && g_term_ansi;
}

void screen_refit()
{
    g_resized = 0;
    if (g_fit) term_fetch_size(STDOUT_FILENO);
}

void terminal_setup(bool key_input)
{
    if (!key_input) return;
    if (tcgetattr(STDIN_FILENO, &g_tio_saved) != 0) return;
    if (apply_raw_mode()) g_tio_set = 1;
}

bool screen_repaint_wanted()
{
    if (g_resized) {
        screen_refit();
        g_repaint_wanted = 1;
    }
    if (!g_repaint_wanted) return false;
    g_repaint_wanted = 0;
    return true;
}
