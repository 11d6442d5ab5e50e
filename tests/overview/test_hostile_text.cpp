// Outside text with terminal control bytes must reach the screen defused, and the
// export's label values escaped.
#include <gtest/gtest.h>

#include <string>

#include "core/vis_text.hpp"
#include "export/prom_text.hpp"
#include "support/fixture_rows.hpp"

namespace {

TEST(hostile_text, screen_filter_and_label_escaping)
{
    for (const FixtureRow &row : fixture_rows("overview/fixtures/hostile_text.tsv", 4)) {
        SCOPED_TRACE(row[3]);
        std::string shown = row[0];
        vis_inplace(shown.data());
        EXPECT_EQ(shown, row[1]);
        StrBuf b{};
        tf_label_value(&b, row[0].data(), row[0].size());
        EXPECT_EQ(std::string(b.buf, b.len), row[2]);
        std::free(b.buf);
    }
    for (int c = 1; c < 256; c++)  // interface names: printable ASCII or '?'
        EXPECT_EQ(vis_ifname(std::string(1, char(c)).c_str()).s[0], c >= 0x20 && c <= 0x7e ? char(c) : '?') << c;
    // Cut to 63 bytes first, then filtered.
    EXPECT_EQ(std::string(vis((std::string(62, 'a') + "\xc3\xa9").c_str()).s), std::string(62, 'a') + "?");
}

}  // namespace
