#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <string>
#include <vector>

#include "burst/burst_state.hpp"
#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/keys.hpp"
#include "core/settings.hpp"
#include "core/terminal.hpp"
#include "core/text_clip.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/nst_table.hpp"
#include "overview/overview_model.hpp"
#include "overview/page_overview.hpp"
#include "support/capture_stdout.hpp"
#include "support/fixture_rows.hpp"
#include "support/tmpdir.hpp"
#include "topology/ifaces.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

namespace {

// Page 2 showing, whole screens. Without a window size (unfitted): mono and
// unalerted, then colour, clearing, capturing and alerted. Fitted to a window,
// the screen has no more rows than it, none wider, the header, tabs and alert
// line on top, and a page that does not fit ends with how much is left. Alerts
// wrap onto three rows at most, then say how many did not fit. Tiny windows get
// their rows and nothing more. (Scrolling: tmux.)
TEST(paint, screens_are_exact)
{
    setenv("TZ", "UTC", 1);
    tzset();
    g_last_ts = 1700000000;
    g_page = 1;
    g_term_full = 1;
    g_term_entered = 1;
    g_screen_capturing = burst_capturing;
    for (const FixtureRow &row : fixture_rows("core/fixtures/screens.tsv", 9)) {
        g_rows = std::stoi(row[0]);
        g_cols = std::stoi(row[1]);
        g_clear = g_term_ansi = row[4] == "1";
        colors_set(row[5] == "1");
        g_burst_state = row[6] == "1";
        alerts_clear();
        for (int i = 0; i < std::stoi(row[2]); i++) alert("alert number %d", i);
        sb_clear(&PAGES[1]);
        for (int i = 0; i < std::stoi(row[3]); i++) sb_addf(&PAGES[1], "line %d\n", i);
        EXPECT_EQ(capture_stdout(paint), fixture("core/fixtures/" + row[7])) << row[8];
    }
}

// Rows are cut by display columns: colour sequences take none and stay whole,
// wide characters take two and are never split, a cut inside colour resets it,
// and bytes that could drive the terminal never pass.
TEST(clip, rows_are_cut_by_display_columns)
{
    for (const FixtureRow &row : fixture_rows("core/fixtures/clip.tsv", 5)) {
        const std::string &line = row[0];
        StrBuf b;
        sb_init(&b, 4);
        clip_append(&b, line, std::stoi(row[1]));
        EXPECT_EQ(std::string(b.buf, b.len), row[2]) << testing::PrintToString(line);
        EXPECT_EQ(text_cols(line), std::stoi(row[3])) << testing::PrintToString(line);
        std::free(b.buf);
    }
}

// One key per sequence only when the whole sequence came in one read.
TEST(keys, sequences_become_one_key)
{
    const std::pair<const char *, std::vector<int>> rows[] = {
        {"\x1b[5~\x1b[6~\x1b[A\x1bOB", {KEY_PGUP, KEY_PGDN, KEY_UP, KEY_DOWN}},
        {"\x1b[H\x1b[F\x1b[1~\x1b[4~\x1bOH\x1bOF", {KEY_HOME, KEY_END, KEY_HOME, KEY_END, KEY_HOME, KEY_END}},
        {"\x1b[5x\x1bOx", {KEY_SEQ + '5', 'x', KEY_ESC, 'O', 'x'}},  // ESC [ and a byte, as before
        {"q\x1b[", {'q', KEY_ESC, '['}},                               // cut short: plain keys
    };
    for (const auto &[bytes, want] : rows) {
        std::vector<int> got;
        keys_split(reinterpret_cast<const unsigned char *>(bytes), static_cast<long>(std::strlen(bytes)),
                   [&](int k) { return got.push_back(k), true; });
        EXPECT_EQ(got, want) << testing::PrintToString(bytes);
    }
}

// An alert line is cut at 511 bytes; a buffer grows by as much as one call needs
// keeping what was there, and a clear keeps its storage. A control file is
// written in place, never created.
TEST(buffers, bounded_alerts_growth_and_control_files)
{
    alert("%s", std::string(700, 'z').c_str());
    EXPECT_EQ(ALERTS.len, 511u);
    StrBuf b;
    sb_init(&b, 16);
    sb_addf(&b, "%s", std::string(15, 'a').c_str());
    sb_addf(&b, "b%s", std::string(200, 'x').c_str());  // more than one doubling in one call
    EXPECT_EQ(std::string(b.buf, b.len), std::string(15, 'a') + "b" + std::string(200, 'x'));
    char *storage = b.buf;
    sb_clear(&b);
    sb_addf(&b, "%d", 7);
    EXPECT_EQ(std::string(b.buf, b.len), "7");
    EXPECT_EQ(b.buf, storage);
    std::free(b.buf);
    TempDir d;
    const std::string f = d.write("trigger", "old-contents"), missing = d.path + "/nope";
    write_str(f.c_str(), "new");
    write_str(missing.c_str(), "x");
    EXPECT_EQ(read_whole_file(f), "new-contents");
    EXPECT_EQ(access(missing.c_str(), F_OK), -1);
}

// Once the first samples have sized the tables and buffers, a sample takes no
// more heap: the buffers keep their storage and the readers use fixed buffers.
TEST(steady_state, samples_after_the_first_allocate_nothing)
{
    g_wan = "lo";
    g_birdc = "/bin/false";  // present, but prints no table
    wg_discover();
    iface_discover();
    load_ospf_expected("/nonexistent");
    size_t in_use[3];
    for (size_t &used : in_use) {
        for (StrBuf &p : PAGES) sb_clear(&p);
        alerts_clear();
        nst_refresh();
        for (int32_t i = 0; i < g_n_ifaces; i++) ifsnap_take(static_cast<uint32_t>(i), g_ifaces[i], 2.0);
        overview_collect();
        render_overview();
        ctr_roll();
        used = mallinfo2().uordblks;
    }
    EXPECT_EQ(in_use[1], in_use[2]);
}

}  // namespace
