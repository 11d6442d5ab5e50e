// Outside text with terminal control bytes must reach the screen defused, and the
// export's label values escaped.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "core/vis_text.hpp"
#include "export/prom_text.hpp"

namespace {

// Byte strings, then what the screen's filter makes of them and how a label value holds
// them (a literal \xNN for each byte that is neither printable nor valid UTF-8 outside
// C1); interface names keep printable ASCII only.
TEST(hostile_text, screen_filter_and_label_escaping)
{
    std::string c1, c1_label;  // every C1 control, UTF-8 encoded
    for (int c = 0x80; c < 0xa0; c++) {
        c1 += std::string("\xc2") + char(c);
        char hex[16];
        std::snprintf(hex, sizeof hex, "\\\\xc2\\\\x%02x", c);
        c1_label += hex;
    }
    const std::string utf8 = "caf\xc3\xa9 \xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80";  // é, NBSP, €, an emoji
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"eth0", "eth0", "eth0"},
        {"a\"b\\c\nd", "a\"b\\c?d", "a\\\"b\\\\c\\nd"},
        // C0 (a tab as a blank on screen), DEL, C1 raw and UTF-8 encoded.
        {"tab\t~ \x1b[2J\x7f\x01\r\x1f \x9b" "1m\x85 \xc2\x9b" "1m\xc2\x80", "tab ~ ?[2J???? ?1m? ??1m??",
         "tab\\\\x09~ \\\\x1b[2J\\\\x7f\\\\x01\\\\x0d\\\\x1f \\\\x9b1m\\\\x85 \\\\xc2\\\\x9b1m\\\\xc2\\\\x80"},
        {utf8, utf8, utf8},
        // Overlong CSI (two ways), a surrogate, past U+10FFFF, never a lead byte; then sequences cut short.
        {"\xc0\x9b\xe0\x82\x9b\xed\xa0\x80\xf4\x90\x80\x80\xf5\xff", std::string(14, '?'),
         "\\\\xc0\\\\x9b\\\\xe0\\\\x82\\\\x9b\\\\xed\\\\xa0\\\\x80\\\\xf4\\\\x90\\\\x80\\\\x80\\\\xf5\\\\xff"},
        {"\xe2\x82x\xf0\x9f\x98 \xc3", "??x??? ?", "\\\\xe2\\\\x82x\\\\xf0\\\\x9f\\\\x98 \\\\xc3"},
        {"\xe2\x82", "??", "\\\\xe2\\\\x82"},
        {c1, std::string(64, '?'), c1_label},
    };
    for (const auto &[text, screen, label] : rows) {
        SCOPED_TRACE(text);
        std::string shown = text;
        vis_inplace(shown.data());
        EXPECT_EQ(shown, screen);
        StrBuf b{};
        tf_label_value(&b, text.data(), text.size());
        EXPECT_EQ(std::string(b.buf, b.len), label);
        std::free(b.buf);
    }
    for (int c = 1; c < 256; c++)  // interface names: printable ASCII or '?'
        EXPECT_EQ(vis_ifname(std::string(1, char(c)).c_str()).s[0], c >= 0x20 && c <= 0x7e ? char(c) : '?') << c;
    // Cut to 63 bytes first, then filtered.
    EXPECT_EQ(std::string(vis((std::string(62, 'a') + "\xc3\xa9").c_str()).s), std::string(62, 'a') + "?");
}

}  // namespace
