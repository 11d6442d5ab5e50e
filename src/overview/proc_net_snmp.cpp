// /proc/net/snmp and /proc/net/netstat: lines in pairs, a header of counter
// names under a prefix ("Ip:", "TcpExt:") followed by the values in the same order.
#include <cstdlib>
#include <cstring>

#include "core/kernel_file.hpp"
#include "core/line_reader.hpp"
#include "core/text_lines.hpp"
#include "core/unique_fd.hpp"
#include "overview/nst_table.hpp"

namespace {

constexpr size_t PAIRED_LINE_MAX = 4095;  // characters kept of one line
constexpr size_t PREFIX_MAX = 31;

bool is_sep(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Next blank-separated token of *s, NUL-terminated in place; nullptr when none is left.
char *next_token(char **s)
{
    char *p = *s;
    while (*p && is_sep(*p)) p++;
    if (!*p) return nullptr;
    char *tok = p;
    while (*p && !is_sep(*p)) p++;
    if (*p) *p++ = '\0';
    *s = p;
    return tok;
}

// A line read into a buffer one byte larger than the format allows: cuts it to
// the format's length and says whether the cut split a token.
bool cut_line(char *line, long kept)
{
    if (kept < 0 || static_cast<size_t>(kept) <= PAIRED_LINE_MAX) return false;
    bool split = !is_sep(line[PAIRED_LINE_MAX - 1]) && !is_sep(line[PAIRED_LINE_MAX]);
    line[PAIRED_LINE_MAX] = '\0';
    return split;
}

// Leaves out the last token, which a cut line holds only in part.
void drop_last_token(char *s)
{
    size_t n = std::strlen(s);
    while (n > 0 && !is_sep(s[n - 1])) n--;
    s[n] = '\0';
}

void paired_lines(char *hdr, bool hdr_split, char *val, bool val_split)
{
    char *hc = std::strchr(hdr, ':');
    char *vc = std::strchr(val, ':');
    if (!hc || !vc) return;
    *hc = '\0';
    *vc = '\0';
    if (std::strcmp(hdr, val) != 0) return;

    char name[80];
    size_t plen = strnlen(hdr, PREFIX_MAX);
    std::memcpy(name, hdr, plen);

    char *h = hc + 1, *v = vc + 1;
    if (hdr_split) drop_last_token(h);
    if (val_split) drop_last_token(v);
    // Names and values go strictly by position, so a short or cut line can only
    // lose counters at its end, never shift a value onto another name.
    for (;;) {
        char *ht = next_token(&h);
        char *vt = next_token(&v);
        if (!ht || !vt) break;
        size_t tlen = strnlen(ht, sizeof name - 1 - plen);
        std::memcpy(name + plen, ht, tlen);
        name[plen + tlen] = '\0';
        nst_put(name, std::strtoull(vt, nullptr, 10));  // Tcp MaxConn reads "-1": it wraps
    }
}

}  // namespace

// No re-synchronisation: a broken pair costs exactly two lines.
static void paired_from(LineSource *src)
{
    char hdr[PAIRED_LINE_MAX + 2], val[PAIRED_LINE_MAX + 2];
    for (;;) {
        long hn = ls_getline(src, hdr, sizeof hdr);
        if (hn < 0) return;
        long vn = ls_getline(src, val, sizeof val);
        if (vn < 0) return;
        bool hs = cut_line(hdr, hn);
        bool vs = cut_line(val, vn);
        paired_lines(hdr, hs, val, vs);
    }
}

void nst_parse_paired(std::string_view text)
{
    LineSource src = lines_of(text);
    paired_from(&src);
}

void nst_load_paired(const char *path)
{
    UniqueFd fd(kfile_open(path));
    if (!fd.ok()) return;
    LineReader lr;
    lr_init(&lr, fd.fd);
    LineSource src = lines_of(&lr);
    paired_from(&src);
}
