#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/colors.hpp"
#include "core/settings.hpp"
#include "core/terminal.hpp"
#include "support/fixture_rows.hpp"
#include "support/tmpdir.hpp"
#include "topology/default_route.hpp"

namespace {

// Parses "./tw" and the tab-separated args from the built-in defaults; the result,
// and what went to stderr (stdout: the binary's tests). The words stay alive until
// the next call: text settings point into them.
std::pair<SettingsResult, std::string> parse(const std::string &args)
{
    static std::string words;
    words = args.empty() ? "./tw" : "./tw\t" + args;
    std::vector<char *> argv = field_args(words);
    settings_defaults();
    char err[256] = "";
    FILE *out = std::fopen("/dev/null", "w"), *errf = fmemopen(err, sizeof err - 1, "w");
    const SettingsResult res = settings_parse(static_cast<int>(argv.size()) - 1, argv.data(), out, errf);
    std::fclose(out);
    std::fclose(errf);
    return {res, err};
}

// Numbers parse like strtol and are clamped; later options override earlier ones; values are taken verbatim.
TEST(options, each_row_leaves_these_settings)
{
    for (const FixtureRow &row : fixture_rows("core/fixtures/options.tsv", 3)) {
        const std::string &want = row[1];
        ASSERT_EQ(parse(row[0]).first, SETTINGS_RUN);
        char now[512];  // "|name=value|...|"; rows name the ones they pin
        std::snprintf(now, sizeof now,
                      "|i=%d|s=%d|r=%d|n=%lld|color=%d|clear=%d|pcap=%d|arm=%d|wan=%s|burst_if=%s|birdc=%s|fixed=%d|budget=%lld|",
                      g_interval, g_burst_secs, g_rediscover, static_cast<long long>(g_count), g_color, g_clear,
                      g_burst_pcap, g_burst_arm, g_wan, g_burst_if, g_birdc, g_burst_if_fixed,
                      static_cast<long long>(g_burst_budget_mib));
        for (size_t at = 0, bar = 0; bar != std::string::npos; at = bar + 1)
            EXPECT_NE(std::string(now).find("|" + want.substr(at, (bar = want.find('|', at)) - at) + "|"), std::string::npos)
                << want << " in " << now;
    }
    for (const std::string bad : {"-kC", "x", "-i5", "--interval=5", "", "-w", "-s", "--burst-budget"})
        EXPECT_EQ(parse("-i\t1\t" + bad), std::pair(SETTINGS_BAD, "unknown option: " + bad + "\n"));
    EXPECT_EQ(parse("--help").first, SETTINGS_HELP);
}

// /proc/net/route as the kernel writes it: the default route is the one whose
// destination and mask are 0 and which is up; of several, the lowest metric.
// Then TERM and NO_COLOR: plain lines for a terminal not known to take sequences.
TEST(first_run, default_route_terminal_and_colour)
{
    const std::string cases = fixture("core/fixtures/routes.txt"), mark = "== the default route's interface: ";
    for (size_t at = cases.find(mark), next; at != std::string::npos; at = next) {
        const size_t nl = cases.find('\n', at);
        const std::string want = cases.substr(at + mark.size(), nl - at - mark.size());
        const std::string text = cases.substr(nl + 1, (next = cases.find(mark, nl)) - nl - 1);
        char out[16] = "x";
        EXPECT_EQ(default_route_parse(text, out), want == "none" ? -1 : 0) << text;
        EXPECT_EQ(std::string(out), want == "none" ? "" : want) << text;
    }
    for (const char *term : {"xterm-256color", "tmux-256color", "screen", "linux", "vt100"}) EXPECT_TRUE(term_is_ansi(term)) << term;
    for (const char *term : {"dumb", "", "no-such-terminal-anywhere", "../../../etc/passwd", "xtermish"})
        EXPECT_FALSE(term_is_ansi(term)) << term;
    EXPECT_FALSE(term_is_ansi(nullptr));
    EXPECT_TRUE(colors_auto(true, true, nullptr) && colors_auto(true, true, ""));
    EXPECT_FALSE(colors_auto(true, true, "1") || colors_auto(true, false, nullptr) || colors_auto(false, true, nullptr));
}

}  // namespace
