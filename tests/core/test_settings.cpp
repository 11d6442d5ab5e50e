#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/settings.hpp"

namespace {

struct ParseRun {
    SettingsResult result;
    std::string out, err;
};

// Parses argv (argv[0] included) from the built-in defaults, capturing both streams.
// The words stay alive until the next call: text settings point into them.
ParseRun parse(std::vector<std::string> args)
{
    static std::vector<std::string> words;
    words = std::move(args);
    settings_defaults();
    std::vector<char *> argv;
    for (auto &a : words) argv.push_back(a.data());
    char *o = nullptr, *e = nullptr;
    size_t olen = 0, elen = 0;
    FILE *out = open_memstream(&o, &olen), *err = open_memstream(&e, &elen);
    ParseRun r{settings_parse(static_cast<int>(argv.size()), argv.data(), out, err), "", ""};
    std::fclose(out);
    std::fclose(err);
    r.out.assign(o, olen);
    r.err.assign(e, elen);
    std::free(o);
    std::free(e);
    return r;
}

TEST(usage, byte_exact_with_built_in_defaults_even_after_overrides)
{
    ParseRun r = parse({"./tw", "-w", "eth9", "-B", "x", "--help", "-bogus"});
    EXPECT_EQ(r.result, SETTINGS_HELP);
    EXPECT_EQ(r.out,
              "tarnwatch v2 - THE ROUTER FROM BELOW drop/error monitor (Minnow edition)\n"
              "\n"
              "Usage: ./tw [options]\n"
              "\n"
              "  -i SEC      sample interval (default 2)\n"
              "  -n COUNT    exit after COUNT samples (default: run forever)\n"
              "  -1, --once  single snapshot of ALL pages, no clearing (cron friendly)\n"
              "  -w IF       WAN interface   (default enp16s0f0np0)\n"
              "  -l IF       LAN interface   (default enp16s0f1np1)\n"
              "  -b FILE     bird config     (default /etc/bird.conf)\n"
              "  -W DIR      wireguard confs (default /etc/wireguard)\n"
              "  -B CMD      birdc command   (default birdc)\n"
              "  -r SEC      topology rediscover period (default 60)\n"
              "  -C          force color on   -M  force color off (mono)\n"
              "  -k          keep scrollback (don't clear screen between samples)\n"
              "burst catcher:\n"
              "  -I IF       iface to watch for tx_dropped bursts (default: LAN)\n"
              "  -s SEC      capture window seconds (default 5)\n"
              "  -P          no pcap (skip forking tcpdump during captures)\n"
              "  -D          disable the burst catcher entirely\n"
              "keys (live):   1/2/3 or n/p switch page, b toggles burst arming, q quits\n");
}

TEST(options, numbers_parse_like_strtol_and_clamp)
{
    struct Case {
        std::vector<std::string> args;
        int32_t interval, burst_secs, rediscover;
        uint64_t count;
    } cases[] = {
        {{"tw"}, 2, 5, 60, ~0ULL},
        {{"tw", "-i", "0", "-s", "0"}, 1, 1, 60, ~0ULL},
        {{"tw", "-i", "-3", "-s", "-9"}, 1, 1, 60, ~0ULL},
        {{"tw", "-i", "abc"}, 1, 5, 60, ~0ULL},
        {{"tw", "-i", "10x"}, 10, 5, 60, ~0ULL},
        {{"tw", "-i", "  +7"}, 7, 5, 60, ~0ULL},
        {{"tw", "-i", "4294967301"}, 5, 5, 60, ~0ULL},  // low 32 bits kept
        {{"tw", "-r", "-5"}, 2, 5, -5, ~0ULL},          // not clamped
        {{"tw", "-n", "0"}, 2, 5, 60, 0},
        {{"tw", "-n", "-1"}, 2, 5, 60, ~0ULL},  // negative: runs forever
        {{"tw", "-n", "8589934592"}, 2, 5, 60, 8589934592ULL},
    };
    for (const auto &c : cases) {
        ParseRun r = parse(c.args);
        SCOPED_TRACE(c.args.back());
        ASSERT_EQ(r.result, SETTINGS_RUN);
        EXPECT_EQ(g_interval, c.interval);
        EXPECT_EQ(g_burst_secs, c.burst_secs);
        EXPECT_EQ(g_rediscover, c.rediscover);
        EXPECT_EQ(g_count, c.count);
    }
}

TEST(options, later_options_override_and_values_are_taken_verbatim)
{
    parse({"tw", "-C", "-M", "-1", "-n", "5"});
    EXPECT_EQ(g_color, 0);
    EXPECT_EQ(g_count, 5u);
    EXPECT_EQ(g_clear, 0);
    parse({"tw", "-n", "1", "-P", "-D"});
    EXPECT_EQ(g_clear, 1);  // -n 1 prints like --once but keeps clearing
    EXPECT_EQ(g_burst_pcap, 0);
    EXPECT_EQ(g_burst_arm, 0);

    parse({"tw", "-w", "-k", "-l", "eth1", "-B", "birdc -s /x"});
    EXPECT_STREQ(g_wan, "-k");
    EXPECT_EQ(g_clear, 1);
    EXPECT_STREQ(g_burst_if, "eth1");  // -l moves the default burst interface
    EXPECT_STREQ(g_birdc, "birdc -s /x");
    parse({"tw", "-I", "eth2", "-l", "eth1"});
    EXPECT_STREQ(g_burst_if, "eth2");
}

TEST(options, unknown_or_incomplete_arguments_are_rejected_by_name)
{
    for (const char *bad : {"-kC", "x", "-i5", "--interval=5", "", "-w", "-s"}) {
        ParseRun r = parse({"tw", "-i", "1", bad});
        EXPECT_EQ(r.result, SETTINGS_BAD);
        EXPECT_EQ(r.err, std::string("unknown option: ") + bad + "\n");
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
