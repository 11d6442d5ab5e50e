#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/colors.hpp"
#include "core/settings.hpp"
#include "core/terminal.hpp"
#include "topology/default_route.hpp"

namespace {

// Parses "./tw" and args from the built-in defaults; the result, and what went to
// stderr (stdout: the binary's tests). The words stay alive until the next call:
// text settings point into them.
std::pair<SettingsResult, std::string> parse(std::vector<std::string> args)
{
    static std::vector<std::string> words;
    words = std::move(args);
    words.insert(words.begin(), "./tw");
    settings_defaults();
    std::vector<char *> argv;
    for (auto &a : words) argv.push_back(a.data());
    char err[256] = "";
    FILE *out = std::fopen("/dev/null", "w"), *errf = fmemopen(err, sizeof err - 1, "w");
    const SettingsResult res = settings_parse(static_cast<int>(argv.size()), argv.data(), out, errf);
    std::fclose(out);
    std::fclose(errf);
    return {res, err};
}

// Numbers parse like strtol and are clamped; later options override earlier ones; values are taken verbatim.
TEST(options, each_row_leaves_these_settings)
{
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{}, "i=2|s=5|r=60|n=-1"}, {{"-i", "0", "-s", "0"}, "i=1|s=1|r=60|n=-1"},
        {{"-i", "-3", "-s", "-9"}, "i=1|s=1|r=60|n=-1"}, {{"-i", "abc"}, "i=1|s=5|r=60|n=-1"},
        {{"-i", "10x"}, "i=10|s=5"}, {{"-i", "  +7"}, "i=7|s=5"},
        {{"-i", "4294967301"}, "i=5|s=5|r=60|n=-1"},  // low 32 bits kept
        {{"-r", "-5"}, "i=2|s=5|r=-5|n=-1"},          // not clamped
        {{"-n", "0"}, "i=2|n=0"}, {{"-n", "-1"}, "n=-1"}, {{"-n", "8589934592"}, "i=2|s=5|r=60|n=8589934592"},
        {{"-C", "-M", "-1", "-n", "5"}, "n=5|color=0|clear=0"},
        {{"-n", "1", "-P", "-D"}, "clear=1|pcap=0|arm=0"},  // -n 1 prints like --once but keeps clearing
        // -l moves the default burst interface, -I stays.
        {{"-w", "-k", "-l", "eth1", "-B", "birdc -s /x"}, "clear=1|wan=-k|burst_if=eth1|birdc=birdc -s /x"},
        {{"-I", "eth2", "-l", "eth1"}, "burst_if=eth2|fixed=1"}, {{"-l", "eth1"}, "fixed=0|budget=64"},
        {{"--burst-budget", "8"}, "budget=8"}, {{"--burst-budget", "-3"}, "budget=0"},
        {{"--burst-budget", "99999999999999999999"}, "budget=1099511627776"},
    };
    for (const auto &[args, want] : rows) {
        ASSERT_EQ(parse(args).first, SETTINGS_RUN);
        char now[512];  // "|name=value|...|" (n=-1: run forever); rows name the ones they pin
        std::snprintf(now, sizeof now,
                      "|i=%d|s=%d|r=%d|n=%lld|color=%d|clear=%d|pcap=%d|arm=%d|wan=%s|burst_if=%s|birdc=%s|fixed=%d|budget=%lld|",
                      g_interval, g_burst_secs, g_rediscover, static_cast<long long>(g_count), g_color, g_clear,
                      g_burst_pcap, g_burst_arm, g_wan, g_burst_if, g_birdc, g_burst_if_fixed,
                      static_cast<long long>(g_burst_budget_mib));
        for (size_t at = 0, bar = 0; bar != std::string::npos; at = bar + 1)
            EXPECT_NE(std::string(now).find("|" + want.substr(at, (bar = want.find('|', at)) - at) + "|"), std::string::npos)
                << want << " in " << now;
    }
    for (const char *bad : {"-kC", "x", "-i5", "--interval=5", "", "-w", "-s", "--burst-budget"})
        EXPECT_EQ(parse({"-i", "1", bad}), std::pair(SETTINGS_BAD, std::string("unknown option: ") + bad + "\n"));
    EXPECT_EQ(parse({"--help"}).first, SETTINGS_HELP);
}

// /proc/net/route as the kernel writes it: the default route is the one whose
// destination and mask are 0 and which is up; of several, the lowest metric.
// Then TERM and NO_COLOR: plain lines for a terminal not known to take sequences.
TEST(first_run, default_route_terminal_and_colour)
{
    auto route = [](const char *dev, const char *dst_flags_metric_mask) {
        char d[9], f[5], m[9];
        int metric = 0;
        std::sscanf(dst_flags_metric_mask, "%8s %4s %d %8s", d, f, &metric, m);
        return std::string(dev) + "\t" + d + "\t0102A8C0\t" + f + "\t0\t0\t" + std::to_string(metric) + "\t" + m + "\t0\t0\t0\n";
    };
    const std::string head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    const std::pair<std::string, std::string> rows[] = {
        {head + route("eth0", "0002A8C0 0001 0 00FFFFFF") + route("eth1", "00000000 0003 100 00000000"), "eth1"},
        {head + route("wan0", "00000000 0003 600 00000000") + route("wwan0", "00000000 0003 50 00000000"), "wwan0"},
        {head + route("down0", "00000000 0002 0 00000000") + route("host0", "00000000 0007 0 FFFFFFFF"), ""},
        {head + route("averyveryverylongname", "00000000 0003 0 00000000"), ""}, {"", ""}, {"garbage\n\t\t\n", ""},
    };
    for (const auto &[text, want] : rows) {
        char out[16] = "x";
        EXPECT_EQ(default_route_parse(text, out), want.empty() ? -1 : 0) << text;
        EXPECT_EQ(std::string(out), want) << text;
    }
    for (const char *term : {"xterm-256color", "tmux-256color", "screen", "linux", "vt100"}) EXPECT_TRUE(term_is_ansi(term)) << term;
    for (const char *term : {"dumb", "", "no-such-terminal-anywhere", "../../../etc/passwd", "xtermish"})
        EXPECT_FALSE(term_is_ansi(term)) << term;
    EXPECT_FALSE(term_is_ansi(nullptr));
    EXPECT_TRUE(colors_auto(true, true, nullptr) && colors_auto(true, true, ""));
    EXPECT_FALSE(colors_auto(true, true, "1") || colors_auto(true, false, nullptr) || colors_auto(false, true, nullptr));
}

}  // namespace
