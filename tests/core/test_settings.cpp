#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/settings.hpp"

namespace {

// Runs the parser over argv and captures what it printed.
struct ParseRun {
    SettingsResult result;
    std::string out, err;
};

ParseRun parse(std::vector<std::string> args)
{
    settings_defaults();
    args.insert(args.begin(), "tarnwatch");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char *obuf = nullptr, *ebuf = nullptr;
    size_t olen = 0, elen = 0;
    FILE *out = open_memstream(&obuf, &olen);
    FILE *err = open_memstream(&ebuf, &elen);
    ParseRun r;
    r.result = settings_parse(static_cast<int>(args.size()), argv.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    r.out.assign(obuf, olen);
    r.err.assign(ebuf, elen);
    std::free(obuf);
    std::free(ebuf);
    return r;
}

const char *const USAGE =
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
    "keys (live):   1/2/3 or n/p switch page, b toggles burst arming, q quits\n";

TEST(usage, byte_exact_with_built_in_defaults_even_after_overrides)
{
    settings_defaults();
    std::vector<std::string> args = {"./tw", "-w", "eth9", "-B", "x", "--help", "-bogus"};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    char *obuf = nullptr;
    size_t olen = 0;
    FILE *out = open_memstream(&obuf, &olen);
    EXPECT_EQ(settings_parse(static_cast<int>(argv.size()), argv.data(), out, stderr), SETTINGS_HELP);
    std::fclose(out);
    EXPECT_EQ(std::string(obuf, olen), USAGE);
    std::free(obuf);
}

TEST(options, numbers_parse_like_strtol_and_clamp)
{
    struct Case {
        std::vector<std::string> args;
        int32_t interval, burst_secs, rediscover;
        uint64_t count;
    } cases[] = {
        {{}, 2, 5, 60, ~0ULL},
        {{"-i", "0"}, 1, 5, 60, ~0ULL},
        {{"-i", "-3"}, 1, 5, 60, ~0ULL},
        {{"-i", "abc"}, 1, 5, 60, ~0ULL},
        {{"-i", "10x"}, 10, 5, 60, ~0ULL},
        {{"-i", "  +7"}, 7, 5, 60, ~0ULL},
        {{"-i", "4294967301"}, 5, 5, 60, ~0ULL},  // low 32 bits kept
        {{"-s", "0"}, 2, 1, 60, ~0ULL},
        {{"-s", "-9"}, 2, 1, 60, ~0ULL},
        {{"-r", "-5"}, 2, 5, -5, ~0ULL},  // not clamped
        {{"-n", "0"}, 2, 5, 60, 0},
        {{"-n", "-1"}, 2, 5, 60, ~0ULL},  // negative: runs forever
        {{"-n", "3"}, 2, 5, 60, 3},
        {{"-n", "8589934592"}, 2, 5, 60, 8589934592ULL},  // all 64 bits kept
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0] + " " + c.args[1]);
        ParseRun r = parse(c.args);
        ASSERT_EQ(r.result, SETTINGS_RUN);
        EXPECT_EQ(g_interval, c.interval);
        EXPECT_EQ(g_burst_secs, c.burst_secs);
        EXPECT_EQ(g_rediscover, c.rediscover);
        EXPECT_EQ(g_count, c.count);
    }
}

TEST(options, later_options_override_earlier_ones)
{
    parse({"-C", "-M"});
    EXPECT_EQ(g_color, 0);
    parse({"-M", "-C"});
    EXPECT_EQ(g_color, 1);
    parse({"-1", "-n", "5"});
    EXPECT_EQ(g_count, 5u);
    EXPECT_EQ(g_clear, 0);
    parse({"-n", "1"});
    EXPECT_EQ(g_count, 1u);
    EXPECT_EQ(g_clear, 1);  // -n 1 prints like --once but keeps clearing set
    parse({"--once"});
    EXPECT_EQ(g_count, 1u);
    EXPECT_EQ(g_clear, 0);
    parse({"-k", "-P", "-D"});
    EXPECT_EQ(g_clear, 0);
    EXPECT_EQ(g_burst_pcap, 0);
    EXPECT_EQ(g_burst_arm, 0);
}

TEST(options, values_are_taken_verbatim_and_settle_the_burst_interface)
{
    parse({"-w", "-k", "-l", "eth1"});
    EXPECT_STREQ(g_wan, "-k");
    EXPECT_EQ(g_clear, 1);  // "-k" was the value of -w
    EXPECT_STREQ(g_lan, "eth1");
    EXPECT_STREQ(g_burst_if, "eth1");  // -l moves the default burst interface

    parse({"-I", "eth2", "-l", "eth1"});
    EXPECT_STREQ(g_burst_if, "eth2");

    parse({"-b", "/b.conf", "-W", "/wg", "-B", "birdc -s /x", "-w", "w;id"});
    EXPECT_STREQ(g_birdconf, "/b.conf");
    EXPECT_STREQ(g_wgdir, "/wg");
    EXPECT_STREQ(g_birdc, "birdc -s /x");
    EXPECT_STREQ(g_wan, "w;id");
    EXPECT_STREQ(g_burst_if, DEFAULT_LAN);
}

TEST(options, unknown_or_incomplete_arguments_are_rejected_by_name)
{
    const std::vector<std::string> bad[] = {
        {"-kC"}, {"x"}, {"-i5"}, {"--interval=5"}, {"-w"}, {"-i", "1", "-s"}, {""},
    };
    for (const auto &args : bad) {
        ParseRun r = parse(args);
        EXPECT_EQ(r.result, SETTINGS_BAD);
        EXPECT_EQ(r.err, "unknown option: " + args.back() + "\n");
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
