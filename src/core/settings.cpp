#include "core/settings.hpp"

#include <cstdlib>
#include <cstring>

#ifndef TARNWATCH_VERSION
#define TARNWATCH_VERSION "unknown"
#endif

int32_t g_interval = 2;
uint64_t g_count = ~0ULL;
int32_t g_rediscover = 60;
int32_t g_color = -1;
int32_t g_clear = 1;
const char *g_wan = DEFAULT_WAN;
const char *g_lan = DEFAULT_LAN;
const char *g_birdconf = DEFAULT_BIRDCONF;
const char *g_wgdir = DEFAULT_WGDIR;
const char *g_birdc = DEFAULT_BIRDC;
const char *g_burst_if = nullptr;
int32_t g_burst_secs = 5;
int32_t g_burst_pcap = 1;
int32_t g_burst_arm = 1;
int32_t g_burst_if_fixed = 0;
int64_t g_burst_budget_mib = 64;
int g_ethsock = -1;
const char *g_textfile = nullptr;
int32_t g_check = 0;
bool g_wan_given = false, g_birdconf_given = false;

void settings_defaults()
{
    g_interval = 2;
    g_count = ~0ULL;
    g_rediscover = 60;
    g_color = -1;
    g_clear = 1;
    g_wan = DEFAULT_WAN;
    g_lan = DEFAULT_LAN;
    g_birdconf = DEFAULT_BIRDCONF;
    g_wgdir = DEFAULT_WGDIR;
    g_birdc = DEFAULT_BIRDC;
    g_burst_if = nullptr;
    g_burst_secs = 5;
    g_burst_pcap = 1;
    g_burst_arm = 1;
    g_burst_if_fixed = 0;
    g_burst_budget_mib = 64;
    g_textfile = nullptr;
    g_check = 0;
    g_wan_given = false;
    g_birdconf_given = false;
}

void print_usage(FILE *out, const char *prog)
{
    std::fprintf(out,
        "tarnwatch v2 - THE ROUTER FROM BELOW drop/error monitor (Minnow edition)\n"
        "\n"
        "Usage: %s [options]\n"
        "\n"
        "  -i SEC      sample interval (default 2)\n"
        "  -n COUNT    exit after COUNT samples (default: run forever)\n"
        "  -1, --once  single snapshot of ALL pages, no clearing (cron friendly)\n"
        "  -w IF       WAN interface   (default %s)\n"
        "  -l IF       LAN interface   (default %s)\n"
        "  -b FILE     bird config     (default %s)\n"
        "  -W DIR      wireguard confs (default %s)\n"
        "  -B CMD      birdc command   (default %s)\n"
        "  -r SEC      topology rediscover period (default 60)\n"
        "  -C          force color on   -M  force color off (mono)\n"
        "  -k          keep scrollback (don't clear screen between samples)\n"
        "burst catcher:\n"
        "  -I IF       iface to watch for tx_dropped bursts (default: LAN)\n"
        "  -s SEC      capture window seconds (default 5)\n"
        "  -P          no pcap (skip forking tcpdump during captures)\n"
        "  -D          disable the burst catcher entirely\n"
        "keys (live):   1/2/3 or n/p switch page, b toggles burst arming, q quits\n",
        prog, DEFAULT_WAN, DEFAULT_LAN, DEFAULT_BIRDCONF, DEFAULT_WGDIR, DEFAULT_BIRDC);
}

// strtol semantics; the callers keep 32 or 64 bits of the result.
static long long parse_num(const char *s) { return std::strtoll(s, nullptr, 10); }

SettingsResult settings_parse(int argc, char **argv, FILE *out, FILE *err)
{
    const char *prog = argc > 0 && argv[0] ? argv[0] : "tarnwatch";
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        auto is = [a](const char *opt) { return std::strcmp(a, opt) == 0; };
        if (is("-h") || is("--help")) {
            print_usage(out, prog);
            return SETTINGS_HELP;
        }
        if (is("--version")) {
            std::fprintf(out, "tarnwatch %s\n", TARNWATCH_VERSION);
            return SETTINGS_HELP;
        }
        if (is("-1") || is("--once")) { g_count = 1; g_clear = 0; continue; }
        if (is("--check")) { g_check = 1; continue; }
        if (is("-C")) { g_color = 1; continue; }
        if (is("-M")) { g_color = 0; continue; }
        if (is("-k")) { g_clear = 0; continue; }
        if (is("-P")) { g_burst_pcap = 0; continue; }
        if (is("-D")) { g_burst_arm = 0; continue; }

        static constexpr const char *VALUE_OPTS[] = {"-i", "-n", "-r", "-w", "-l", "-b", "-W", "-B",
                                                     "-I", "-s", "--textfile", "--burst-budget"};
        bool takes_value = false;
        for (const char *o : VALUE_OPTS) takes_value = takes_value || is(o);
        if (!takes_value || i + 1 >= argc) {
            std::fprintf(err, "unknown option: %s\n", a);
            return SETTINGS_BAD;
        }
        const char *v = argv[++i];
        if (is("-i")) g_interval = static_cast<int32_t>(parse_num(v));
        else if (is("-n")) g_count = static_cast<uint64_t>(parse_num(v));
        else if (is("-r")) g_rediscover = static_cast<int32_t>(parse_num(v));
        else if (is("-s")) g_burst_secs = static_cast<int32_t>(parse_num(v));
        else if (is("-w")) { g_wan = v; g_wan_given = true; }
        else if (is("-l")) g_lan = v;
        else if (is("-b")) { g_birdconf = v; g_birdconf_given = true; }
        else if (is("-W")) g_wgdir = v;
        else if (is("-B")) g_birdc = v;
        else if (is("-I")) g_burst_if = v;
        else if (is("--textfile")) g_textfile = v;
        else if (is("--burst-budget")) g_burst_budget_mib = parse_num(v);
    }
    if (g_interval < 1) g_interval = 1;
    if (g_burst_secs < 1) g_burst_secs = 1;
    // In bytes it must still fit 64 bits.
    if (g_burst_budget_mib < 0) g_burst_budget_mib = 0;
    if (g_burst_budget_mib > (1LL << 40)) g_burst_budget_mib = 1LL << 40;
    g_burst_if_fixed = g_burst_if != nullptr;
    if (!g_burst_if) g_burst_if = g_lan;
    return SETTINGS_RUN;
}
