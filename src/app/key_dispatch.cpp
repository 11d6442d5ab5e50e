#include "app/key_dispatch.hpp"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

#include "burst/burst_state.hpp"
#include "core/keys.hpp"
#include "core/run_tool.hpp"
#include "core/screen.hpp"
#include "core/strbuf.hpp"
#include "gate/mw_page.hpp"

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

bool handle_key(int key)
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

bool g_key_input = false;

// Keys stop being read at the end of input or on a read error: a terminal
// gone without a hang-up reads as ready forever.
ssize_t read_keys(unsigned char (&bytes)[8])
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
bool g_quit_in_sample = false;
bool g_pages_shown = false;

bool keys_during_sample()
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

bool held_keys()
{
    bool go_on = true;
    for (int i = 0; i < g_n_held && go_on; i++) go_on = handle_key(g_held_keys[i]);
    g_n_held = 0;
    return go_on;
}
