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
    StrBuf b;
    void SetUp() override
    {
        buffers_setup();
        alerts_clear();
        settings_defaults();
        colors_set(true);
        std::free(g_ctrs);  // start from no table so the growth rule is observable
        g_ctrs = nullptr;
        g_ctr_cap = 0;
        g_nctrs = 0;
        sb_init(&b, 64);
    }
    void TearDown() override
    {
        std::free(b.buf);
        colors_set(false);
        alerts_clear();
        g_nctrs = 0;
    }
    std::string fmt(const char *key, uint64_t v, int alerting, int64_t *inc = nullptr)
    {
        sb_clear(&b);
        int64_t r = ctr_fmtx(&b, key, v, alerting);
        if (inc) *inc = r;
        return b.buf;
    }
};

TEST_F(CounterFixture, fmtx_renders_first_red_yellow_and_dim_forms)
{
    int64_t inc = -1;
    EXPECT_EQ(fmt("UdpInErrors", 100, 1, &inc), "\x1b[2m100\x1b[0m");  // first sight: dim, no alert
    EXPECT_EQ(inc, 0);
    EXPECT_EQ(n_alerts, 0);
    ctr_roll();

    EXPECT_EQ(fmt("UdpInErrors", 105, 1, &inc), "\x1b[31;1m105 (+5/2s, +5 total)\x1b[0m");
    EXPECT_EQ(inc, 5);
    EXPECT_STREQ(ALERTS.buf, "UdpInErrors +5");
    // Rendered again in the same sample: same delta, and it alerts again only if asked.
    EXPECT_EQ(fmt("UdpInErrors", 105, 0), "\x1b[31;1m105 (+5/2s, +5 total)\x1b[0m");
    EXPECT_EQ(n_alerts, 1);
    ctr_roll();

    EXPECT_EQ(fmt("UdpInErrors", 105, 1), "105 \x1b[33;1m(+5 since start)\x1b[0m");
    ctr_roll();
    // Driver reset below the first value: plain dim, negative increase, no alert.
    EXPECT_EQ(fmt("UdpInErrors", 7, 1, &inc), "\x1b[2m7\x1b[0m");
    EXPECT_EQ(inc, -98);
    EXPECT_EQ(n_alerts, 1);
}

TEST_F(CounterFixture, unrecorded_key_shows_whole_increase_later_and_keys_are_distinct)
{
    fmt("a", 1, 0);
    fmt("b", 1, 0);
    ctr_roll();
    ctr_roll();  // "a" not recorded in this sample
    EXPECT_EQ(fmt("a", 4, 1), "\x1b[31;1m4 (+3/2s, +3 total)\x1b[0m");
    EXPECT_EQ(fmt("b", 1, 1), "\x1b[2m1\x1b[0m");
    EXPECT_EQ(g_nctrs, 2);
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

TEST_F(CounterFixture, table_doubles_and_keeps_values)
{
    for (int i = 0; i < 256; i++) ctr_get(("k" + std::to_string(i)).c_str())->cur = static_cast<uint64_t>(i);
    EXPECT_EQ(g_ctr_cap, 256);
    ctr_get("k256");
    EXPECT_EQ(g_nctrs, 257);
    EXPECT_EQ(g_ctr_cap, 512);
    EXPECT_EQ(ctr_get("k200")->cur, 200u);
    EXPECT_EQ(g_nctrs, 257);
}

TEST_F(CounterFixture, overlong_keys_keep_one_entry)
{
    std::string longkey(300, 'k');
    ctr_get(longkey.c_str())->cur = 9;
    EXPECT_EQ(ctr_get(longkey.c_str())->cur, 9u);
    EXPECT_EQ(g_nctrs, 1);
    EXPECT_EQ(std::string(ctr_get(longkey.c_str())->name).size(), 127u);
}

TEST(fmt_iec, boundaries)
{
    struct { uint64_t v; const char *want; } ints[] = {
        {0, "0"}, {1023, "1023"}, {1024, "1.0K"}, {1536, "1.5K"}, {1048576, "1.0M"},
        {1048575, "1024.0K"}, {1ULL << 40, "1.0T"}, {~0ULL, "16384.0P"},
    };
    char out[32];
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
