// Settings from the command line; the rest of the program reads these globals.
#pragma once
#include <cstdint>
#include <cstdio>

extern int32_t g_interval;
extern uint64_t g_count;
extern int32_t g_rediscover;
extern int32_t g_color;
extern int32_t g_clear;
extern const char *g_wan;
extern const char *g_lan;
extern const char *g_birdconf;
extern const char *g_wgdir;
extern const char *g_birdc;
extern const char *g_burst_if;
extern int32_t g_burst_secs;
extern int32_t g_burst_pcap;
extern int32_t g_burst_arm;
extern int32_t g_burst_if_fixed;   // 1 when -I named the interface; otherwise it follows the LAN
extern int64_t g_burst_budget_mib; // capture files one run may write, in MiB
extern int g_ethsock;
// --textfile FILE: where the export goes after every sample; nullptr when not asked for.
extern const char *g_textfile;
// --check: look at every source once, report and exit.
extern int32_t g_check;
// Whether the command line named the WAN (-w) and the BIRD configuration (-b),
// so no default that fits the machine takes their place.
extern bool g_wan_given, g_birdconf_given;

constexpr const char *DEFAULT_WAN = "enp16s0f0np0";
constexpr const char *DEFAULT_LAN = "enp16s0f1np1";
constexpr const char *DEFAULT_BIRDCONF = "/etc/bird.conf";
constexpr const char *DEBIAN_BIRDCONF = "/etc/bird/bird.conf";  // where Debian's bird2 keeps it
constexpr const char *DEFAULT_WGDIR = "/etc/wireguard";
constexpr const char *DEFAULT_BIRDC = "birdc";

enum SettingsResult { SETTINGS_RUN = 0, SETTINGS_HELP = 1, SETTINGS_BAD = 2 };

// Puts every setting back to its built-in default (start-up step 1).
void settings_defaults();
// Processes the arguments left to right, then clamps and settles the burst
// interface. Help goes to out, errors to err.
SettingsResult settings_parse(int argc, char **argv, FILE *out, FILE *err);
void print_usage(FILE *out, const char *prog);
