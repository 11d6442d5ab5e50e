#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "counters/fmt_iec.hpp"

namespace {

struct CounterFixture : ::testing::Test {
    void SetUp() override
    {
        buffers_setup();
        alerts_clear();
        settings_defaults();
        colors_set(true);
        std::free(g_ctrs);  // start from no table so the growth rule is observable
        g_ctrs = nullptr;
        g_ctr_cap = g_nctrs = 0;
    }
    void TearDown() override
    {
        colors_set(false);
        alerts_clear();
        sb_clear(&PAGES[0]);
    }
    std::string fmt(const char *key, uint64_t v, int alerting, int64_t *inc = nullptr)
    {
        sb_clear(&PAGES[0]);
        int64_t r = ctr_fmtx(&PAGES[0], key, v, alerting);
        if (inc) *inc = r;
        return PAGES[0].buf;
    }
};

TEST_F(CounterFixture, fmtx_renders_first_red_yellow_and_dim_forms)
{
    int64_t inc = -1;
    EXPECT_EQ(fmt("UdpInErrors", 100, 1, &inc), "\x1b[2m100\x1b[0m");  // first sight: dim, no alert
    EXPECT_EQ(inc, 0);
    fmt("other", 1, 0);
    ctr_roll();
    EXPECT_EQ(fmt("UdpInErrors", 105, 1, &inc), "\x1b[31;1m105 (+5/2s, +5 total)\x1b[0m");
    EXPECT_EQ(inc, 5);
    // A second rendering in the same sample shows the same delta.
    EXPECT_EQ(fmt("UdpInErrors", 105, 0), "\x1b[31;1m105 (+5/2s, +5 total)\x1b[0m");
    EXPECT_STREQ(ALERTS.buf, "UdpInErrors +5");
    ctr_roll();
    EXPECT_EQ(fmt("UdpInErrors", 105, 1), "105 \x1b[33;1m(+5 since start)\x1b[0m");
    ctr_roll();
    ctr_roll();  // "other" not recorded for two samples: its whole rise shows at once
    EXPECT_EQ(fmt("other", 4, 0), "\x1b[31;1m4 (+3/2s, +3 total)\x1b[0m");
    // Driver reset below the first value: plain dim, negative increase, no alert.
    EXPECT_EQ(fmt("UdpInErrors", 7, 1, &inc), "\x1b[2m7\x1b[0m");
    EXPECT_EQ(inc, -98);
    EXPECT_EQ(n_alerts, 1);
}

TEST_F(CounterFixture, rate_rules)
{
    EXPECT_EQ(ctr_rate("r", 1000, 2.0), 0.0);  // first sample
    ctr_roll();
    EXPECT_DOUBLE_EQ(ctr_rate("r", 3000, 2.0), 1000.0);
    ctr_roll();
    EXPECT_EQ(ctr_rate("r", 5000, 0.05), 0.0);  // too short a gap, value still recorded
    ctr_roll();
    EXPECT_DOUBLE_EQ(ctr_rate("r", 5500, 0.5), 1000.0);
    ctr_roll();
    EXPECT_EQ(ctr_rate("r", 10, 1.0), 0.0);  // went down
}

TEST_F(CounterFixture, table_doubles_keeps_values_and_one_entry_per_key)
{
    for (int i = 0; i < 256; i++) ctr_get(("k" + std::to_string(i)).c_str())->cur = static_cast<uint64_t>(i);
    EXPECT_EQ(g_ctr_cap, 256);
    ctr_get("k256");
    EXPECT_EQ(g_ctr_cap, 512);
    EXPECT_EQ(ctr_get("k200")->cur, 200u);
    std::string longkey(300, 'k');  // stored cut, still found again
    ctr_get(longkey.c_str())->cur = 9;
    EXPECT_EQ(ctr_get(longkey.c_str())->cur, 9u);
    EXPECT_EQ(g_nctrs, 258);
}

// The index must give exactly the entry a scan would: keys sharing long
// prefixes, keys equal in their first 127 characters, and a table emptied
// under it by resetting the count.
TEST_F(CounterFixture, lookup_is_exact_over_thousands_of_keys)
{
    const std::string pre(120, 'p');
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 3000; i++) ctr_get((pre + std::to_string(i)).c_str())->cur = static_cast<uint64_t>(i);
        ctr_get((std::string(127, 'x') + "A").c_str())->cur = 1;
        EXPECT_EQ(ctr_get((std::string(127, 'x') + "B").c_str())->cur, 1u);  // same stored key
        EXPECT_EQ(g_nctrs, 3001);
        for (int i = 0; i < 3000; i += 7) ASSERT_EQ(ctr_get((pre + std::to_string(i)).c_str())->cur, uint64_t(i));
        EXPECT_EQ(g_nctrs, 3001);
        g_nctrs = 0;  // emptied without the table's knowledge, as a page test does
        EXPECT_EQ(ctr_get((pre + "5").c_str())->seen, 0);
        g_nctrs = 0;
    }
}

// Rediscoveries: an interface missing three times in a row loses its keys
// and only its keys; the rest keep their order and values.
TEST_F(CounterFixture, counters_of_an_interface_gone_for_three_rediscoveries_are_dropped)
{
    const char both[][16] = {"eth0", "eth0.5"}, one[][16] = {"eth0.5"};
    ctr_forget_unwatched(both, 2);
    const char *keys[] = {"eth0/r.rxb", "softnet_drops", "eth0.5/r.rxb", "eth0", "eth0/l.qdrops", "eth0x/a"};
    for (uint64_t i = 0; i < 6; i++) ctr_rate(keys[i], 100 + i, 1.0);
    for (int r = 1; r <= 3; r++) {
        ctr_forget_unwatched(one, 1);
        EXPECT_EQ(g_nctrs, r < 3 ? 6 : 4) << r;
    }
    const char *left[] = {"softnet_drops", "eth0.5/r.rxb", "eth0", "eth0x/a"};
    for (int i = 0; i < 4; i++) EXPECT_STREQ(g_ctrs[i].name, left[i]);
    EXPECT_EQ(ctr_get("eth0.5/r.rxb")->cur, 102u);
    EXPECT_EQ(ctr_get("eth0/r.rxb")->seen, 0);  // back, and new
    // Churn: a new name at every rediscovery leaves a bounded table.
    for (int i = 0; i < 500; i++) {
        char name[1][16];
        std::snprintf(name[0], sizeof name[0], "tun%d", i);
        ctr_forget_unwatched(name, 1);
        ctr_rate((std::string(name[0]) + "/r.rxb").c_str(), 1, 1.0);
    }
    EXPECT_LE(g_nctrs, 5 + CTR_FORGET_AFTER + 1);
}

TEST(fmt_iec, boundaries)
{
    char out[32];
    struct { uint64_t v; const char *want; } ints[] = {
        {0, "0"}, {1023, "1023"}, {1024, "1.0K"}, {1536, "1.5K"}, {1048576, "1.0M"},
        {1048575, "1024.0K"}, {1ULL << 40, "1.0T"}, {~0ULL, "16384.0P"},
    };
    for (const auto &c : ints) {
        fmt_iec(c.v, out);
        EXPECT_STREQ(out, c.want) << c.v;
    }
    struct { double v; const char *want; } dbls[] = {
        {0, "0"}, {12.7, "13"}, {1023.4, "1023"}, {1023.6, "1024"}, {1024, "1.0K"}, {1536, "1.5K"},
    };
    for (const auto &c : dbls) {
        fmt_iec_d(c.v, out);
        EXPECT_STREQ(out, c.want) << c.v;
    }
    fmt_iec_d(1e300, out);  // absurd rates stay inside the field
    EXPECT_EQ(std::string(out).size(), 31u);
}

}  // namespace
