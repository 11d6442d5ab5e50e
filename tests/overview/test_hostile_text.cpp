// Outside text with terminal control bytes must reach the screen defused.
#include <gtest/gtest.h>

#include <string>

#include "core/vis_text.hpp"

namespace {

// Byte strings, then what the text filter makes of them; interface names keep printable ASCII only.
TEST(hostile_text, filters_keep_valid_utf8_and_replace_controls_and_broken_sequences)
{
    const std::string c1 = "tab\t~ \x1b[2J\x7f\x01 \x9b" "1m\x85 \xc2\x9b" "1m\xc2\x80";
    const std::string utf8 = "caf\xc3\xa9 \xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80";
    const std::pair<std::string, std::string> cases[] = {
        {c1, "tab ~ ?[2J?? ?1m? ??1m??"},  // C0 (a tab as a blank), DEL, C1 raw and UTF-8 encoded
        {utf8, utf8},                        // é, NBSP, €, an emoji
        // Overlong CSI (two ways), a surrogate, past U+10FFFF, never a lead byte; then sequences cut short.
        {"\xc0\x9b\xe0\x82\x9b\xed\xa0\x80\xf4\x90\x80\x80\xf5\xff", std::string(14, '?')},
        {"\xe2\x82x\xf0\x9f\x98 \xc3", "??x??? ?"},
        {[] { std::string all;  // every C1 control, UTF-8 encoded
             for (char c = '\x80'; c != '\xa0'; c++) all += std::string("\xc2") + c;
             return all; }(), std::string(64, '?')},
    };
    for (auto [text, want] : cases) {
        SCOPED_TRACE(text);
        vis_inplace(text.data());
        EXPECT_EQ(text, want);
    }
    for (int c = 1; c < 256; c++)  // interface names: printable ASCII or '?'
        EXPECT_EQ(vis_ifname(std::string(1, char(c)).c_str()).s[0], c >= 0x20 && c <= 0x7e ? char(c) : '?') << c;
    // Cut to 63 bytes first, then filtered.
    EXPECT_EQ(std::string(vis((std::string(62, 'a') + "\xc3\xa9").c_str()).s), std::string(62, 'a') + "?");
}

}  // namespace
