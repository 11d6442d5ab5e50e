#include "app/main_loop.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/key_dispatch.hpp"
#include "app/terminal_session.hpp"
#include "burst/burst_state.hpp"
#include "check/self_check.hpp"
#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/keys.hpp"
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
        if (screen_repaint_wanted()) paint();
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

// Settings, the check, colours and what a run needs before its first sample.
// Returns the exit status when the run ends here, or -1 to go on to sampling.
static int start_up(int argc, char **argv)
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
    return -1;
}

// Samples until the count is reached, a key quits or the screen is lost.
// Returns the error of the export's last write, 0 when it succeeded.
static int sample_loop()
{
    // Monotonic, so a clock stepped back cannot hold rediscovery off.
    double last_discovery = mono_secs();
    double prev_start = mono_secs();
    bool first = true;
    uint64_t samples = 0;
    int textfile_err = 0;
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
    return textfile_err;
}

int tarnwatch_main(int argc, char **argv)
{
    int status = start_up(argc, argv);
    if (status >= 0) return status;
    int textfile_err = sample_loop();
    burst_complete();
    full_cleanup();
    // A failed last write of the export is the exit status.
    if (textfile_err != 0) {
        std::fprintf(stderr, "tarnwatch: cannot write %s: %s\n", g_textfile, std::strerror(textfile_err));
        return 1;
    }
    return g_output_lost ? 1 : 0;
}
