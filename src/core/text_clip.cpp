#include "core/text_clip.hpp"

#include "core/vis_text.hpp"

namespace {

struct Glyph {
    size_t len;   // bytes of the input
    int cols;     // display columns
    char shown;   // 0: the bytes themselves; '\0' with keep false: dropped; else this byte instead
    bool keep;    // the bytes go out as they are
    bool colour;  // an SGR sequence
};

// East Asian wide and fullwidth ranges, and emoji: two columns each.
constexpr char32_t WIDE[][2] = {
    {0x1100, 0x115f},   {0x2e80, 0x303e},   {0x3041, 0x33ff},   {0x3400, 0x4dbf}, {0x4e00, 0x9fff},
    {0xa000, 0xa4cf},   {0xac00, 0xd7a3},   {0xf900, 0xfaff},   {0xfe30, 0xfe4f}, {0xff00, 0xff60},
    {0xffe0, 0xffe6},   {0x1f300, 0x1f64f}, {0x1f900, 0x1f9ff}, {0x20000, 0x3fffd},
};
// Combining marks: drawn on the character before them.
constexpr char32_t ZERO[][2] = {{0x0300, 0x036f}, {0x200b, 0x200f}, {0x20d0, 0x20ff}, {0xfe00, 0xfe0f}, {0xfe20, 0xfe2f}};

template <size_t N>
bool in(const char32_t (&ranges)[N][2], char32_t c)
{
    for (const auto &r : ranges)
        if (c >= r[0] && c <= r[1]) return true;
    return false;
}

char32_t decode(const unsigned char *s, size_t n)
{
    char32_t c = s[0] & (0x7f >> n);
    for (size_t i = 1; i < n; i++) c = (c << 6) | (s[i] & 0x3f);
    return c;
}

// An escape sequence: CSI (ESC [ parameters final) or ESC and one byte.
Glyph escape_glyph(const unsigned char *s, size_t n)
{
    if (n < 2) return {n, 0, 0, false, false};
    if (s[1] != '[') return {2, 0, 0, false, false};
    for (size_t i = 2; i < n; i++) {
        if (s[i] >= 0x40 && s[i] <= 0x7e) {
            bool sgr = s[i] == 'm';
            return {i + 1, 0, 0, sgr, sgr};
        }
        if (s[i] < 0x20 || s[i] > 0x3f) break;  // not a parameter or intermediate byte
    }
    return {n, 0, 0, false, false};  // cut short or malformed: dropped with the rest of the line
}

Glyph next_glyph(const unsigned char *s, size_t n)
{
    const unsigned char c = s[0];
    if (c == 0x1b) return escape_glyph(s, n);
    if (c == '\t') return {1, 1, ' ', false, false};
    if (c < 0x20 || c == 0x7f) return {1, 1, '?', false, false};
    if (c < 0x80) return {1, 1, 0, true, false};
    size_t len = utf8_seq_len(s);
    if (len == 0 || len > n) return {1, 1, '?', false, false};
    char32_t cp = decode(s, len);
    if (cp < 0xa0) return {len, 1, '?', false, false};  // C1 controls
    return {len, in(ZERO, cp) ? 0 : in(WIDE, cp) ? 2 : 1, 0, true, false};
}

}  // namespace

int text_cols(std::string_view line)
{
    const auto *s = reinterpret_cast<const unsigned char *>(line.data());
    int cols = 0;
    for (size_t i = 0; i < line.size();) {
        Glyph g = next_glyph(s + i, line.size() - i);
        cols += g.cols;
        i += g.len;
    }
    return cols;
}

size_t clip_append(StrBuf *out, std::string_view line, int cols)
{
    const auto *s = reinterpret_cast<const unsigned char *>(line.data());
    int used = 0;
    bool coloured = false;
    size_t i = 0;
    while (i < line.size()) {
        Glyph g = next_glyph(s + i, line.size() - i);
        if (used + g.cols > cols) break;
        used += g.cols;
        coloured = coloured || g.colour;
        if (g.keep)
            sb_addf(out, "%.*s", static_cast<int>(g.len), line.data() + i);
        else if (g.shown)
            sb_addf(out, "%c", g.shown);
        i += g.len;
    }
    if (coloured) sb_addf(out, "\x1b[0m");
    return i;
}

size_t wrap_len(std::string_view text, int cols)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    size_t fit = 0;
    for (int used = 0; fit < text.size();) {
        Glyph g = next_glyph(s + fit, text.size() - fit);
        if (used + g.cols > cols) {
            if (fit == 0) return g.len;  // wider than the row: taken alone, so the text still moves on
            break;
        }
        used += g.cols;
        fit += g.len;
    }
    if (fit == text.size()) return fit;
    size_t blank = text.substr(0, fit).rfind(' ');
    return blank != std::string_view::npos && blank >= fit / 2 ? blank + 1 : fit;
}
