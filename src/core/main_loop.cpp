#include "core/main_loop.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "burst/burst_state.hpp"
#include "check/self_check.hpp"
#include "core/alerts.hpp"
#include "core/child_groups.hpp"
#include "core/colors.hpp"
#include "core/keys.hpp"
#include "core/line_reader.hpp"
#include "core/run_tool.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/terminal.hpp"
#include "counters/counters.hpp"
#include "export/textfile_export.hpp"
#include "gate/mw_page.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "ifdetail/ifdetail_model.hpp"
#include "ifdetail/ifsnap.hpp"
#include "ifdetail/page_ifdetail.hpp"
#include "overview/nst_table.hpp"
#include "overview/overview_model.hpp"
#include "overview/page_overview.hpp"
#include "topology/ifaces.hpp"
#include "topology/machine_defaults.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

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

static void install_signals()
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

static void screen_setup()
{
    g_fit = g_clear && g_count != 1 && isatty(STDOUT_FILENO);
    g_term_full = g_fit && g_term_ansi;
}

// Fits the screen to the window's size as it is now.
static void screen_refit()
{
    g_resized = 0;
    if (g_fit) term_fetch_size(STDOUT_FILENO);
}

// Puts the keyboard in raw mode.
static void terminal_setup(bool key_input)
{
    if (!key_input) return;
    if (tcgetattr(STDIN_FILENO, &g_tio_saved) != 0) return;
    if (apply_raw_mode()) g_tio_set = 1;
}

static EthDev g_nics[MAX_NICS];  // WAN first, then LAN
static int32_t g_n_nics = 0;

static void topology_discover()
{
    wg_discover();
    iface_discover();
    ctr_forget_unwatched(g_ifaces, g_n_ifaces);
    ifsnap_forget_dirs();
    load_ospf_expected(g_birdconf);
    nics_rediscover(g_nics, &g_n_nics, g_wan, g_lan);
}

// Reads every source into the models the pages are built from. The pages of
// the last sample stay as they were meanwhile, for the keys to show.
static void collect_sample(double dt)
{
    nst_refresh();
    ifsnap_take_all(g_ifaces, g_n_ifaces, dt);
    using Step = void (*)();
    static constexpr Step STEPS[] = {overview_collect, [] { ifdetail_collect(g_nics, g_n_nics); }, mw_collect};
    // A quit gives the sample up: what is left of it is not read.
    for (Step step : STEPS)
        if (!tool_sample_given_up()) step();
}

// Formats the pages and raises the alerts from the models alone.
static void build_pages()
{
    for (StrBuf &p : PAGES) sb_clear(&p);
    alerts_clear();
    // It starts a capture on the fresh snapshots; its alert opens the list.
    burst_detect();
    render_overview();
    render_interfaces(g_nics, g_n_nics);
    render_burst_page();
    mw_render();
}

// Offers a key to page 4; true when the page took it and has been redrawn.
// Its menus and input line are drawn at the end of the page: shown at once.
static bool gate_page_key(int key)
{
    if (g_page != 3 || !mw_key(key)) return false;
    sb_clear(&PAGES[3]);
    mw_render_again();
    if (g_mw_mode != 0) g_scroll[3] = INT32_MAX;
    paint();
    return true;
}

// The page a key switches to; false for a key that switches none.
static bool switch_page(int key)
{
    if (key >= '1' && key <= '4')
        g_page = key - '1';
    else if (key == 'n' || key == KEY_RIGHT)
        g_page = (g_page + 1) % N_PAGES;
    else if (key == 'p' || key == KEY_LEFT)
        g_page = (g_page + N_PAGES - 1) % N_PAGES;
    else
        return false;
    return true;
}

// Keys that only move about the pages already built, or end the run.
// Returns false for any other key; true once it is answered.
static bool view_key(int key, bool *quit)
{
    if (key == 'q' && !g_help) {
        *quit = true;
        return true;
    }
    // The keys' help stays until the next key, which only closes it.
    if (g_help)
        g_help = 0;
    else if (key == '?')
        g_help = 1;
    else if (!screen_scroll(key) && !switch_page(key))
        return false;
    paint();
    return true;
}

// Handles one key; returns false when it asks to quit.
static bool handle_key(int key)
{
    bool quit = false;
    if (!g_help && gate_page_key(key)) return true;
    if (view_key(key, &quit)) return !quit;
    if (key == 'b') {
        burst_toggle_arm();
        paint();
    }
    return true;  // lone ESC, other sequences, other bytes
}

static bool g_key_input = false;

// Reads what the terminal has into bytes; returns the count, as read does.
// Keys stop being read at the end of input or on a read error: a terminal
// gone without a hang-up reads as ready forever.
static ssize_t read_keys(unsigned char (&bytes)[8])
{
    ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
    // Ready yet nothing to read, from a terminal that no longer answers: hung up.
    if ((n == 0 && !isatty(STDIN_FILENO)) || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        g_key_input = false;
        tool_watch_keys(-1, nullptr);
    }
    return n;
}

// Keys typed while a sample collects, in order: the ones that only move
// between pages (or quit) are answered at once from the last sample's pages;
// from the first other key on (page 4's, b) they wait for the sample's end.
constexpr int MAX_HELD_KEYS = 64;
static int g_held_keys[MAX_HELD_KEYS];
static int g_n_held = 0;
static bool g_quit_in_sample = false;
static bool g_pages_shown = false;  // before the first sample only q is answered at once

static bool keys_during_sample()
{
    unsigned char bytes[8];
    ssize_t n = read_keys(bytes);
    if (n <= 0) return true;
    keys_split(bytes, n, [](int key) {
        if (g_quit_in_sample) return true;
        bool hold = g_n_held > 0 || (!g_pages_shown && key != 'q') ||
                    (!g_help && ((g_page == 3 && mw_takes_key(key)) || key == 'b'));
        if (!hold)
            view_key(key, &g_quit_in_sample);  // or a key without a meaning
        else if (g_n_held < MAX_HELD_KEYS)
            g_held_keys[g_n_held++] = key;
        return true;
    });
    return !g_quit_in_sample;
}

// The held keys, now that the sample's pages are shown; false when one quits.
static bool held_keys()
{
    bool go_on = true;
    for (int i = 0; i < g_n_held && go_on; i++) go_on = handle_key(g_held_keys[i]);
    g_n_held = 0;
    return go_on;
}

// Waits for the interval in slices of at most 0.25 s; false when q was pressed or
// the screen can no longer be written. Keys stop being read at the end of input
// or on a read error: a terminal gone without a hang-up reads as ready forever.
static bool wait_interval()
{
    double deadline = mono_secs() + g_interval;
    bool quit = false;
    while (!quit) {
        double remaining = deadline - mono_secs();
        if (remaining <= 0) break;
        double slice = remaining < 0.25 ? remaining : 0.25;
        timeval tv{0, static_cast<suseconds_t>(slice * 1e6)};
        fd_set rd;
        FD_ZERO(&rd);
        if (g_key_input) FD_SET(STDIN_FILENO, &rd);
        int r = select(g_key_input ? STDIN_FILENO + 1 : 0, &rd, nullptr, nullptr, &tv);

        if (g_burst_state == 1 && mono_secs() - g_burst_t0 >= g_burst_secs) {
            burst_finish();
            paint();
        }
        if (g_resized) {
            screen_refit();
            g_repaint_wanted = 1;
        }
        if (g_repaint_wanted) {
            g_repaint_wanted = 0;
            paint();
        }
        if (g_output_lost) return false;
        if (r <= 0 || !g_key_input || !FD_ISSET(STDIN_FILENO, &rd)) continue;
        unsigned char bytes[8];
        ssize_t n = read_keys(bytes);
        if (n <= 0) continue;
        // q ends the loop, but the keys typed with it in the same read still count.
        keys_split(bytes, n, [&](int key) {
            if (!handle_key(key)) quit = true;
            return true;
        });
    }
    return !quit && !g_output_lost;
}

// One sample: collect, build, export, paint. False when a key quit during
// the collection (the sample is then dropped).
static bool run_sample(double dt, int *textfile_err)
{
    tool_sample_begin();
    if (g_key_input) tool_watch_keys(STDIN_FILENO, keys_during_sample);
    collect_sample(dt);
    tool_watch_keys(-1, nullptr);
    if (g_quit_in_sample) {
        tool_sample_end();
        return false;
    }
    build_pages();
    tool_sample_end();
    if (g_textfile) tf_after_sample(g_nics, g_n_nics, textfile_err);
    screen_refit();
    if (g_count == 1)
        print_once_report();
    else
        paint();
    g_pages_shown = true;
    return true;
}

// Started with 0, 1 or 2 closed, the next descriptor opened would take its place
// and the screen would be written into a socket or a tool's pipe.
static bool stdio_open()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return false;
    }
    return true;
}

int tarnwatch_main(int argc, char **argv)
{
    if (!stdio_open()) return 1;
    g_screen_capturing = burst_capturing;
    settings_defaults();
    switch (settings_parse(argc, argv, stdout, stderr)) {
    case SETTINGS_HELP: return 0;
    case SETTINGS_BAD: return 2;
    case SETTINGS_RUN: break;
    }
    settings_fill_defaults();
    // Before the colour and root notices and before the tracefs probe, which
    // tidies instances: the check only looks.
    if (g_check) return self_check(stdout);
    g_term_ansi = term_is_ansi(std::getenv("TERM"));
    if (g_color == -1) g_color = colors_auto(isatty(STDOUT_FILENO), g_term_ansi, std::getenv("NO_COLOR"));
    colors_set(g_color != 0);
    if (geteuid() != 0)
        std::fprintf(stderr, "%swarning: not root; some counters (conntrack, wg peers, burst catcher) will be empty%s\n",
                     YEL, RST);

    g_ethsock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (g_ethsock < 0) {
        std::perror("socket");
        return 1;
    }
    burst_probe();

    // One screen goes out in one write where it fits.
    static char outbuf[1 << 16];
    std::setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);

    install_signals();
    g_key_input = g_clear && isatty(STDIN_FILENO) && g_count != 1;
    terminal_setup(g_key_input);
    screen_setup();
    buffers_setup();
    topology_discover();

    // Monotonic, so a clock stepped back cannot hold rediscovery off.
    double last_discovery = mono_secs();
    double prev_start = mono_secs();
    bool first = true;
    uint64_t samples = 0;
    int textfile_err = 0;  // of the last write; a failed last write is the exit status
    while (samples < g_count) {
        g_last_ts = time(nullptr);
        bool forced = g_mw_force_redisc != 0;
        g_mw_force_redisc = 0;
        double now = mono_secs();
        if (forced || g_rediscover <= now - last_discovery) {
            topology_discover();
            last_discovery = now;
        }
        double start = mono_secs();
        double dt = first ? static_cast<double>(g_interval) : start - prev_start;

        if (!run_sample(dt, &textfile_err)) break;
        ctr_roll();
        if (g_output_lost) break;
        if (!held_keys()) break;

        if (++samples >= g_count) break;
        if (!wait_interval()) break;
        first = false;
        prev_start = start;
    }
    burst_complete();
    full_cleanup();
    if (textfile_err != 0) {
        std::fprintf(stderr, "tarnwatch: cannot write %s: %s\n", g_textfile, std::strerror(textfile_err));
        return 1;
    }
    return g_output_lost ? 1 : 0;
}
