// The map reader against real pinned maps made by the test, and the CPU count
// against fixture possible-CPU files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "bpf_fixture.hpp"
#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"

namespace {

struct MapFixture : ::testing::Test {
    BpfPinDir pins;
    void SetUp() override
    {
        if (pins.path.empty()) GTEST_SKIP() << "cannot mount a BPF file system (needs root)";
        buffers_setup();
        settings_defaults();
        colors_set(true);
        std::free(g_ctrs);  // every statistic starts unseen
        g_ctrs = nullptr;
        g_ctr_cap = g_nctrs = 0;
        mw_drop_conn();
        mw_close_maps();
        mw_paths_set((pins.tmp.path + "/no.sock").c_str(), pins.path.c_str());
        g_mw_pane = g_mw_sel = g_mw_mode = 0;
    }
    void TearDown() override
    {
        mw_close_maps();
        colors_set(false);
    }
    // One sample's page 4 (render, then the end-of-sample roll).
    std::string sample()
    {
        for (StrBuf &p : PAGES) sb_clear(&p);
        alerts_clear();
        mw_render();
        ctr_roll();
        return PAGES[3].buf;
    }
    static bool has(const std::string &page, const std::string &text) { return page.find(text) != std::string::npos; }
};

const std::string NOT_READABLE = "pinned maps not readable under /sys/fs/bpf/moatwall";

TEST_F(MapFixture, ListsAreBoundedAndDottedAsStored)
{
    GateMaps m(pins.path);
    for (int i = 0; i < 300; i++) m.add_prefix(("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250)).c_str(), 32);
    for (int i = 0; i < 70; i++) m.add_port(static_cast<uint16_t>(1000 + i));
    std::string page = sample();
    EXPECT_EQ(g_mw_npfx, 256);
    EXPECT_EQ(g_mw_nport, 64);
    EXPECT_TRUE(has(page, "--- drop prefixes (256)")) << page;
    EXPECT_TRUE(has(page, "--- drop dports (64)")) << page;
    EXPECT_TRUE(has(page, "10.1.0.0/32")) << page;
}

TEST_F(MapFixture, PortLabelsFromThePresets)
{
    GateMaps m(pins.path);
    m.add_port(23);
    m.add_port(9999);
    m.add_prefix("192.168.0.0", 16);
    std::string page = sample();
    EXPECT_TRUE(has(page, " 23 telnet scan")) << page;
    EXPECT_TRUE(has(page, " 9999 " + std::string(RST) + "\n")) << page;
    EXPECT_TRUE(has(page, std::string(BOLD) + "> 192.168.0.0/16")) << page;  // first row selected in the active pane
}

// A missing key, or a pin of the right name but another layout, shows nothing
// from any map, every render; a wrong layout must never be written past.
struct BadStatsRow {
    const char *name;
    uint32_t entries, value_size;
    const char *lists;  // how the prefix list header reads
};
struct BadStats : MapFixture, ::testing::WithParamInterface<BadStatsRow> {};

TEST_P(BadStats, NotReadableEveryRender)
{
    GateMaps m(pins.path, GetParam().entries, GetParam().value_size);
    m.add_prefix("10.0.0.0", 8);
    m.add_port(23);
    for (int i = 0; i < 2; i++) {
        std::string page = sample();
        EXPECT_TRUE(has(page, NOT_READABLE)) << page;
        EXPECT_FALSE(has(page, "passed")) << page;
        EXPECT_TRUE(has(page, GetParam().lists)) << page;
    }
}

INSTANTIATE_TEST_SUITE_P(Maps, BadStats,
                         ::testing::Values(
                             // a failed lookup closes every map for the render
                             BadStatsRow{"missing_key", 4, 8, "--- drop prefixes (0)"},
                             // refused at open like a missing pin: the lists stand
                             BadStatsRow{"wide_values", 5, 64, "--- drop prefixes (1)"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(MapFixture, NoPinsShowsNotReadable)
{
    std::string page = sample();
    EXPECT_TRUE(has(page, NOT_READABLE)) << page;
    EXPECT_TRUE(has(page, "(empty - R to seed bogons)")) << page;
    EXPECT_TRUE(has(page, "(empty = dport gate off)")) << page;
    EXPECT_TRUE(has(page, "daemon: " + std::string(RED) + "DOWN")) << page;
    EXPECT_TRUE(has(page, "(control offline - service moatwall start; pinned maps still readable below)")) << page;
}

struct GrowthRow {
    const char *name;
    uint32_t key;
    uint64_t before, after;
    const char *label;
    char colour;              // 'D' dim, 'Y' yellow, 'R' red
    const char *second_line;  // after the colour, in the second sample
    const char *alert;        // "" when none
};
struct Growth : MapFixture, ::testing::WithParamInterface<GrowthRow> {};

TEST_P(Growth, SecondSample)
{
    const GrowthRow &row = GetParam();
    GateMaps m(pins.path);
    m.set_stat(row.key, row.before);
    std::string first = sample();
    EXPECT_FALSE(has(first, "(+")) << "first render shows no growth: " << first;
    m.set_stat(row.key, row.after);
    std::string second = sample();
    const char *colour = row.colour == 'D' ? DIM : row.colour == 'Y' ? YEL : RED;
    char line[160];
    std::snprintf(line, sizeof line, "  %-14s %s%s%s\n", row.label, colour, row.second_line, RST);
    EXPECT_TRUE(has(second, line)) << second;
    EXPECT_STREQ(ALERTS.buf, row.alert);
}

INSTANTIATE_TEST_SUITE_P(
    Maps, Growth,
    ::testing::Values(
        GrowthRow{"passed_grows_yellow", 0, 10, 15, "passed", 'Y', "15 (+5/2s)", ""},
        GrowthRow{"malformed_grows_red", 4, 0, 3, "malformed", 'R', "3 (+3/2s)", "moatwall malformed +3"},
        GrowthRow{"went_down_dim", 1, 10, 5, "dropped src", 'D', "5", ""},
        GrowthRow{"nonip_still_dim", 3, 7, 7, "passed non-ip", 'D', "7", ""},
        GrowthRow{"dport_beyond_32_bits", 2, 1, 0x100000001ULL, "dropped dport", 'Y', "4294967297 (+4294967296/2s)", ""}),
    [](const auto &info) { return std::string(info.param.name); });

struct CpuRow {
    const char *name;
    const char *file;  // nullptr: no file
    long expect;       // -1: the system's configured count
};
struct CpuCount : ::testing::TestWithParam<CpuRow> {};

TEST_P(CpuCount, FromPossibleFile)
{
    TempDir root;
    if (GetParam().file) root.write("sys/devices/system/cpu/possible", GetParam().file);
    fsroot_set(root.path.c_str());
    g_mw_ncpu = 0;
    int n = mw_cpu_count();
    fsroot_set("");
    g_mw_ncpu = 0;
    long want = GetParam().expect < 0 ? sysconf(_SC_NPROCESSORS_CONF) : GetParam().expect;
    EXPECT_EQ(n, want);
}

INSTANTIATE_TEST_SUITE_P(Maps, CpuCount,
                         ::testing::Values(CpuRow{"range", "0-7\n", 8}, CpuRow{"single", "0\n", 1},
                                           CpuRow{"comma_list", "0-3,8-11\n", 8}, CpuRow{"mixed_list", "0,2,4-5\n", 4},
                                           CpuRow{"missing", nullptr, -1}, CpuRow{"garbage", "cpus\n", -1},
                                           CpuRow{"backwards", "7-0\n", -1}, CpuRow{"absurd", "0-99999999\n", -1},
                                           CpuRow{"trailing_comma", "0-3,\n", -1}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
