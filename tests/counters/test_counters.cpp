#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "counters/fmt_iec.hpp"
#include "support/fixture_rows.hpp"

namespace {

// The rows' table tells what each rendering shows; the alert line holds the rises alerted.
TEST(counters, fmtx_renders_first_red_yellow_and_dim_forms)
{
    colors_set(true);
    g_interval = 7;
    for (const FixtureRow &r : fixture_rows("counters/fixtures/fmtx_rows.tsv", 7)) {
        SCOPED_TRACE(r[6]);
        for (int i = std::stoi(r[0]); i > 0; i--) ctr_roll();
        sb_clear(&PAGES[0]);
        EXPECT_EQ(ctr_fmtx(&PAGES[0], r[1].c_str(), std::stoull(r[2]), std::stoi(r[3])), std::stoll(r[5]));
        EXPECT_EQ(std::string(PAGES[0].buf), r[4]);
    }
    EXPECT_STREQ(ALERTS.buf, "UdpInErrors +5 | UdpInErrors +4");
}

// A rate needs a previous value, a gap of some length and a value that went up.
TEST(counters, rate_rules)
{
    const double rows[][3] = {{1000, 2.0, 0}, {3000, 2.0, 1000}, {5000, 0.05, 0}, {5500, 0.5, 1000}, {10, 1.0, 0}};
    for (const auto &r : rows) {
        EXPECT_DOUBLE_EQ(ctr_rate("r", static_cast<uint64_t>(r[0]), r[1]), r[2]) << r[0];
        ctr_roll();
    }
}

// The table grows from nothing to thousands of entries keeping their values, and the index gives
// exactly the entry a scan would: keys sharing long prefixes, keys equal in their first 127
// characters (stored cut, still found again), and a table emptied under it by resetting the count.
TEST(counters, lookup_is_exact_over_thousands_of_keys)
{
    std::free(g_ctrs);  // from no table at all, so the growth rule is exercised
    g_ctrs = nullptr;
    g_ctr_cap = 0;
    const std::string pre(120, 'p'), x(127, 'x'), tail(172, 't');
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 3000; i++) ctr_get((pre + std::to_string(i)).c_str())->cur = static_cast<uint64_t>(i);
        ctr_get((x + "A" + tail).c_str())->cur = 1;
        EXPECT_EQ(ctr_get((x + "B" + tail).c_str())->cur, 1u);  // same stored key
        for (int i = 0; i < 3000; i += 7) ASSERT_EQ(ctr_get((pre + std::to_string(i)).c_str())->cur, uint64_t(i));
        EXPECT_EQ(g_nctrs, 3001);
        g_nctrs = 0;  // emptied without the table's knowledge, as a page test does
        EXPECT_EQ(ctr_get((pre + "5").c_str())->seen, 0);
        g_nctrs = 0;
    }
}

// Rediscoveries: an interface missing three times in a row loses its keys
// and only its keys; the rest keep their order and values.
TEST(counters, counters_of_an_interface_gone_for_three_rediscoveries_are_dropped)
{
    const char both[][16] = {"eth0", "eth0.5"}, one[][16] = {"eth0.5"};
    ctr_forget_unwatched(both, 2);
    const char *keys[] = {"eth0/r.rxb", "softnet_drops", "eth0.5/r.rxb", "eth0", "eth0/l.qdrops", "eth0x/a"};
    for (uint64_t i = 0; i < 6; i++) ctr_rate(keys[i], 100 + i, 1.0);
    for (int r = 1; r <= 3; r++) {
        ctr_forget_unwatched(one, 1);
        EXPECT_EQ(g_nctrs, r < 3 ? 6 : 4) << r;
    }
    std::string left;
    for (int i = 0; i < g_nctrs; i++) left += g_ctrs[i].name + (" " + std::to_string(g_ctrs[i].cur) + " ");
    EXPECT_EQ(left, "softnet_drops 101 eth0.5/r.rxb 102 eth0 103 eth0x/a 105 ");
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

// Byte counts, then rates (rounded, not cut); absurd rates stay inside the field.
TEST(fmt_iec, boundaries)
{
    std::string got;
    char out[32];
    for (uint64_t v : {0ull, 1023ull, 1024ull, 1536ull, 1048575ull, 1048576ull, 1ull << 40, ~0ull}) {
        fmt_iec(v, out);
        got += std::string(out) + " ";
    }
    for (double v : {0.0, 12.7, 1023.4, 1023.6, 1024.0, 1536.0, 1e300}) {
        fmt_iec_d(v, out);
        got += std::string(out).size() == 31 ? "(31 characters)" : std::string(out) + " ";
    }
    EXPECT_EQ(got, "0 1023 1.0K 1.5K 1024.0K 1.0M 1.0T 16384.0P 0 13 1023 1024 1.0K 1.5K (31 characters)");
}

}  // namespace
