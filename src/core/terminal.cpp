#include "core/terminal.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>

int32_t g_term_ansi = 0;
int32_t g_term_full = 0;
volatile sig_atomic_t g_term_entered = 0;
int32_t g_rows = 0;
int32_t g_cols = 0;

// Families every terminal in use today belongs to, for systems whose terminfo
// database lacks the entry (minimal containers often ship none).
static constexpr std::string_view ANSI_FAMILIES[] = {
    "xterm", "screen", "tmux", "rxvt", "urxvt", "linux", "vt100", "vt102", "vt220", "vt320", "ansi", "konsole",
    "gnome", "alacritty", "kitty", "foot", "st", "putty", "wezterm", "cygwin", "eterm", "Eterm",
};

static bool in_terminfo(const char *term)
{
    const char *home = std::getenv("HOME");
    char home_dir[256] = "";
    if (home && home[0] == '/') std::snprintf(home_dir, sizeof home_dir, "%s/.terminfo", home);
    const char *dirs[] = {std::getenv("TERMINFO"), home_dir, "/etc/terminfo", "/lib/terminfo", "/usr/share/terminfo"};
    for (const char *dir : dirs) {
        if (!dir || dir[0] != '/') continue;
        char path[512];
        int n = std::snprintf(path, sizeof path, "%s/%c/%s", dir, term[0], term);
        if (n > 0 && static_cast<size_t>(n) < sizeof path && ::access(path, R_OK) == 0) return true;
    }
    return false;
}

bool term_is_ansi(const char *term)
{
    if (!term || !term[0] || std::strcmp(term, "dumb") == 0) return false;
    // The name becomes part of a path: no walking out of the database, no huge names.
    if (std::strlen(term) > 64 || std::strchr(term, '/') || term[0] == '.') return false;
    const std::string_view t(term);
    for (std::string_view f : ANSI_FAMILIES)
        if (t == f || (t.starts_with(f) && t[f.size()] == '-')) return true;
    return in_terminfo(term);
}

void term_fetch_size(int fd)
{
    struct winsize ws {};
    const bool ok = ::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0;
    g_rows = ok ? ws.ws_row : 0;
    g_cols = ok ? ws.ws_col : 0;
}
