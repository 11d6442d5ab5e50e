#include "core/screen.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#include <unistd.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/keys.hpp"
#include "core/settings.hpp"
#include "core/terminal.hpp"
#include "core/text_clip.hpp"

StrBuf PAGES[N_PAGES];
const char *const PG_NAMES[N_PAGES] = {"Overview", "Interfaces", "BurstCatch", "Moatwall"};
int32_t g_page = 0;
time_t g_last_ts = 0;
int32_t g_output_lost = 0;
int32_t g_scroll[N_PAGES];
int32_t g_help = 0;
bool (*g_screen_capturing)() = nullptr;

static StrBuf SCREEN;  // one paint, written in one go
static StrBuf ROW;     // a row being put together before it is clipped
static StrBuf HELP;    // the current page's keys, while they are shown

static bool capturing() { return g_screen_capturing && g_screen_capturing(); }

namespace {

// Which pages a key works on: bit i for page i + 1.
constexpr unsigned ALL_PAGES = 0xf, TEXT_PAGES = 0x7, GATE_PAGE = 0x8;
struct KeyHelp {
    const char *keys, *action;
    unsigned pages;
};
constexpr KeyHelp KEY_HELP[] = {
    {"1 2 3 4", "show that page", ALL_PAGES},
    {"n  Right", "next page", ALL_PAGES},
    {"p  Left", "previous page", ALL_PAGES},
    {"Up  Down", "scroll by one line", TEXT_PAGES},
    {"PgUp  PgDn", "scroll by one screen", ALL_PAGES},
    {"Home  End", "top or end of the page", ALL_PAGES},
    {"Tab", "switch between the prefix and the port list", GATE_PAGE},
    {"j k  Up Down", "select in the list", GATE_PAGE},
    {"a", "add a drop prefix (type it, then Enter)", GATE_PAGE},
    {"f", "add a drop port from the menu", GATE_PAGE},
    {"x", "remove the selected entry", GATE_PAGE},
    {"i", "NICs: move the gate, or watch one as WAN or LAN", GATE_PAGE},
    {"A  D", "attach or detach the gate", GATE_PAGE},
    {"R", "seed the bogon prefixes", GATE_PAGE},
    {"b", "arm or disarm the burst catcher", ALL_PAGES},
    {"?", "these keys (the next key closes them)", ALL_PAGES},
    {"q  Ctrl-C", "quit", ALL_PAGES},
    {"Ctrl-Z", "suspend; fg brings the screen back", ALL_PAGES},
};

// Rows given to the alert line at most, and whether an empty row follows it,
// by the rows the screen has: small windows keep as much page as they can.
struct Layout {
    int alert_rows_max;
    int blank;
};

Layout layout_for(int rows) { return {rows >= 20 ? 3 : rows >= 12 ? 2 : 1, rows >= 12 ? 1 : 0}; }

// The part of a page that is shown: lines off to off + shown of total.
struct BodyView {
    int total, off, shown;
    int max_off;
};

int count_lines(std::string_view t)
{
    int n = 0;
    for (char c : t) n += c == '\n';
    return n + (!t.empty() && t.back() != '\n');
}

// Longer than its rows, a page gives its last row to the "more" marker.
BodyView body_view(std::string_view text, int rows, int stored)
{
    const int total = count_lines(text);
    if (total <= rows) return {total, 0, total, 0};
    const int shown = rows > 1 ? rows - 1 : 0, max_off = total - shown;
    const int off = stored < 0 ? 0 : stored > max_off ? max_off : stored;
    return {total, off, shown, max_off};
}

}  // namespace

// errno is cleared before the first write of a screen, so a failed write in the
// middle of it (stdio flushes a full buffer by itself) is still seen here.
static void screen_flush()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (errno == EPIPE || errno == EIO || errno == EBADF) g_output_lost = 1;
        std::clearerr(stdout);
    }
}

void buffers_setup()
{
    for (StrBuf &p : PAGES)
        if (!p.buf) sb_init(&p, 65536);
    if (!ALERTS.buf) sb_init(&ALERTS, 65536);
    if (!SCREEN.buf) sb_init(&SCREEN, 65536);
    if (!ROW.buf) sb_init(&ROW, 4096);
    if (!HELP.buf) sb_init(&HELP, 4096);
}

static void format_sample_time(char out[64])
{
    struct tm tmv;
    time_t t = g_last_ts;
    out[0] = '\0';
    if (localtime_r(&t, &tmv)) std::strftime(out, 64, "%a %b %e %H:%M:%S %Y", &tmv);
}

static void add_alert_line(StrBuf *out)
{
    if (n_alerts == 0)
        sb_addf(out, "%sAll quiet.%s\n", GRN, RST);
    else
        sb_addf(out, "%s%s!! ACTIVE: %s%s\n", RED, BOLD, ALERTS.buf ? ALERTS.buf : "", RST);
}

static const StrBuf &current_page() { return PAGES[g_page >= 0 && g_page < N_PAGES ? g_page : 0]; }

static void build_help()
{
    sb_clear(&HELP);
    sb_addf(&HELP, "%s=== Keys on page %d, %s ===%s\n", BOLD, g_page + 1, PG_NAMES[g_page], RST);
    for (const KeyHelp &k : KEY_HELP)
        if (k.pages & (1u << g_page)) sb_addf(&HELP, "  %-14s %s\n", k.keys, k.action);
}

// The page's text, or its keys while help is asked for.
static std::string_view body_text()
{
    if (g_help) {
        build_help();
        return {HELP.buf, HELP.len};
    }
    const StrBuf &pg = current_page();
    return pg.buf ? std::string_view(pg.buf, pg.len) : std::string_view();
}

static bool fitted() { return g_clear && g_rows > 0 && g_cols > 0; }

// Rows of the window the screen may fill: on a terminal without screen
// sequences the last row stays for the cursor, so nothing scrolls away.
static int usable_rows() { return g_term_full || g_rows < 2 ? g_rows : g_rows - 1; }

// A row of the fitted screen: its text clipped to the width, at most rows in all.
struct Rows {
    int used = 0, max;
    bool add(std::string_view line)
    {
        if (used >= max) return false;
        if (used++ > 0) sb_addf(&SCREEN, "\n");
        clip_append(&SCREEN, line, g_cols);
        return true;
    }
    bool add_row_buf() { return add({ROW.buf, ROW.len}); }
};

// The alert text wrapped onto at most max rows; with a StrBuf to write to, the
// last row ends with how many alerts did not fit. Returns the rows taken.
static int alert_rows(Rows *out, int max)
{
    if (n_alerts == 0) {
        if (out) {
            sb_clear(&ROW);
            sb_addf(&ROW, "%sAll quiet.%s", GRN, RST);
            out->add_row_buf();
        }
        return 1;
    }
    static constexpr std::string_view PREFIX = "!! ACTIVE: ";
    const std::string_view alerts(ALERTS.buf ? ALERTS.buf : "");
    sb_clear(&ROW);
    sb_addf(&ROW, "%.*s%s", static_cast<int>(PREFIX.size()), PREFIX.data(), alerts.data());
    const std::string_view text(ROW.buf, ROW.len);
    char more[40];
    std::snprintf(more, sizeof more, "  [+%d more]", n_alerts);
    const int more_cols = static_cast<int>(std::strlen(more));
    size_t at = 0;
    int rows = 0;
    while (at < text.size() && rows < max) {
        const std::string_view rest = text.substr(at);
        size_t take = wrap_len(rest, g_cols);
        const bool last = rows == max - 1 && take < rest.size();
        if (last && g_cols > more_cols) take = wrap_len(rest, g_cols - more_cols);
        rows++;
        at += take;
        if (!out) continue;
        if (last) {
            // Alerts are joined by " | ": those whose end is not on screen are not shown.
            const size_t shown_end = at > PREFIX.size() ? at - PREFIX.size() : 0;
            int whole = 0;
            for (size_t p = alerts.find(" | "); p != std::string_view::npos && p <= shown_end; p = alerts.find(" | ", p + 1))
                whole++;
            std::snprintf(more, sizeof more, "  [+%d more]", n_alerts - whole > 0 ? n_alerts - whole : 1);
            while (take > 0 && (rest[take - 1] == ' ' || rest[take - 1] == '|')) take--;
        }
        char line[4096];
        std::snprintf(line, sizeof line, "%s%s%.*s%s%s", RED, BOLD, static_cast<int>(take), rest.data(), RST,
                      last ? more : "");
        out->add(line);
    }
    return rows;
}

// The page tabs, the burst capture flag and the help key; in a narrow window
// only the current page's tab keeps its name.
static void add_tab_row(Rows *rows, bool names)
{
    sb_clear(&ROW);
    sb_addf(&ROW, " ");
    for (int i = 0; i < N_PAGES; i++) {
        if (names || i == g_page)
            sb_addf(&ROW, "%s[%d:%s]%s ", i == g_page ? BOLD : DIM, i + 1, PG_NAMES[i], RST);
        else
            sb_addf(&ROW, "%s[%d]%s ", DIM, i + 1, RST);
    }
    if (capturing()) sb_addf(&ROW, " %s[CAPTURING]%s", RED, RST);
    sb_addf(&ROW, "%s ?=help q=quit%s", DIM, RST);
    if (names && text_cols({ROW.buf, ROW.len}) > g_cols) return add_tab_row(rows, false);
    rows->add_row_buf();
}

static void compose_fitted(const char *when)
{
    Rows rows{0, usable_rows()};
    const Layout lay = layout_for(rows.max);
    sb_clear(&ROW);
    sb_addf(&ROW, "%s%s   interval=%ds   (red = incremented this interval)%s", BOLD, when, g_interval, RST);
    rows.add_row_buf();
    add_tab_row(&rows, true);
    alert_rows(&rows, lay.alert_rows_max);
    if (lay.blank) rows.add("");

    const std::string_view text = body_text();
    const BodyView v = body_view(text, rows.max - rows.used, g_help ? 0 : g_scroll[g_page]);
    size_t at = 0;
    for (int line = 0; line < v.off + v.shown && at < text.size(); line++) {
        size_t nl = text.find('\n', at);
        if (nl == std::string_view::npos) nl = text.size();
        if (line >= v.off) rows.add(text.substr(at, nl - at));
        at = nl + 1;
    }
    if (v.shown < v.total) {
        const int below = v.total - v.off - v.shown;
        sb_clear(&ROW);
        if (below > 0)
            sb_addf(&ROW, "%s-- %d more lines: PgDn --%s", DIM, below, RST);
        else
            sb_addf(&ROW, "%s-- %d lines above: PgUp --%s", DIM, v.off, RST);
        rows.add_row_buf();
    }
    if (!g_term_full) sb_addf(&SCREEN, "\n");
}

bool screen_scroll(int key)
{
    const int rows = usable_rows();
    const Layout lay = layout_for(rows);
    const int body = rows - 2 - alert_rows(nullptr, lay.alert_rows_max) - lay.blank;
    const BodyView v = body_view(body_text(), body, g_scroll[g_page]);
    int off = v.off;
    switch (key) {
    case KEY_UP: off -= g_page == 3 ? 0 : 1; break;
    case KEY_DOWN: off += g_page == 3 ? 0 : 1; break;
    case KEY_PGUP: off -= v.shown; break;
    case KEY_PGDN: off += v.shown; break;
    case KEY_HOME: off = 0; break;
    case KEY_END: off = v.max_off; break;
    default: return false;
    }
    g_scroll[g_page] = off < 0 ? 0 : off > v.max_off ? v.max_off : off;
    return true;
}

// The whole page, for output that is not fitted to a window (a file, a pipe).
static void compose_unfitted(const char *when)
{
    sb_addf(&SCREEN, "%s%s   interval=%ds   (red = incremented this interval)%s\n", BOLD, when, g_interval, RST);
    sb_addf(&SCREEN, " ");
    for (int i = 0; i < N_PAGES; i++)
        sb_addf(&SCREEN, "%s[%d:%s]%s ", i == g_page ? BOLD : DIM, i + 1, PG_NAMES[i], RST);
    sb_addf(&SCREEN, "%s keys: 1-4/n/p page  b=arm burst  q=quit%s", DIM, RST);
    if (capturing()) sb_addf(&SCREEN, "  %s[CAPTURING]%s", RED, RST);
    sb_addf(&SCREEN, "\n");
    add_alert_line(&SCREEN);
    const std::string_view body = body_text();
    sb_addf(&SCREEN, "\n%.*s", static_cast<int>(body.size()), body.data());
}

void paint()
{
    char when[64];
    format_sample_time(when);
    errno = 0;
    sb_clear(&SCREEN);
    if (g_term_full && !g_term_entered) {
        g_term_entered = 1;
        sb_addf(&SCREEN, "%s", TERM_ENTER);
    }
    if (g_clear && g_term_ansi) sb_addf(&SCREEN, "\x1b[H\x1b[2J");
    if (fitted())
        compose_fitted(when);
    else
        compose_unfitted(when);
    std::fputs(SCREEN.buf, stdout);
    screen_flush();
}

void print_once_report()
{
    char when[64];
    format_sample_time(when);
    errno = 0;
    std::printf("%s%s%s\n", BOLD, when, RST);
    sb_clear(&SCREEN);
    add_alert_line(&SCREEN);
    std::fputs(SCREEN.buf, stdout);
    for (int p = 1; p <= N_PAGES; p++) {
        std::printf("\n%s########## PAGE %d: %s ##########%s\n\n", BOLD, p, PG_NAMES[p - 1], RST);
        std::fputs(PAGES[p - 1].buf ? PAGES[p - 1].buf : "", stdout);
    }
    screen_flush();
}

void write_str(const char *path, const char *text)
{
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t r = ::write(fd, text, std::strlen(text));
    (void)r;
    ::close(fd);
}
