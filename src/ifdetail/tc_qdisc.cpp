#include "ifdetail/tc_qdisc.hpp"

#include <cstdio>
#include <cstring>

#include "core/vis_text.hpp"

void tc_drops_line(uint64_t *sum, std::string_view line)
{
    static constexpr std::string_view key = "dropped ";
    size_t at = line.find(key);
    if (at == std::string_view::npos) return;
    // Digits only: strtoull would also take a sign or leading blanks, and "-1"
    // would turn into 2^64-1 drops.
    uint64_t v = 0;
    for (size_t i = at + key.size(); i < line.size(); i++) {
        char c = line[i];
        if (c < '0' || c > '9') break;
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) {
            v = UINT64_MAX;
            break;
        }
        v = v * 10 + d;
    }
    *sum = v > UINT64_MAX - *sum ? UINT64_MAX : *sum + v;
}

// Calls fn for each line of text, cut to max characters like the live reader does.
template <typename Fn>
static void each_line(std::string_view text, size_t max, Fn fn)
{
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (fn(line.substr(0, max))) return;
        if (nl == std::string_view::npos) return;
        text.remove_prefix(nl + 1);
    }
}

uint64_t tc_parse_drops(std::string_view text)
{
    uint64_t sum = 0;
    each_line(text, TC_STATS_LINE_MAX, [&](std::string_view line) {
        tc_drops_line(&sum, line);
        return false;
    });
    return sum;
}

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

int tc_kinds_line(TcKinds *k, std::string_view line)
{
    if (k->lines >= 2) return 1;
    k->lines++;
    const int done = k->lines >= 2 ? 1 : 0;
    static constexpr std::string_view word = "qdisc";
    if (line.substr(0, word.size()) != word) return done;
    size_t i = word.size();
    if (i >= line.size() || !is_blank(line[i])) return done;
    while (i < line.size() && is_blank(line[i])) i++;
    size_t start = i;
    while (i < line.size() && !is_blank(line[i])) i++;
    if (i == start) return done;
    std::string_view kind = line.substr(start, i - start);
    std::snprintf(k->kind[k->n], sizeof k->kind[0], "%.*s", static_cast<int>(kind.size()), kind.data());
    k->n++;
    return done;
}

void tc_kinds_format(const TcKinds *k, char *out, size_t size)
{
    if (size == 0) return;
    if (k->n >= 2)
        std::snprintf(out, size, "%s/%s", k->kind[0], k->kind[1]);
    else if (k->n == 1)
        std::snprintf(out, size, "%s", k->kind[0]);
    else
        out[0] = '\0';
    vis_inplace(out);
}

void tc_parse_kinds(std::string_view text, char *out, size_t size)
{
    TcKinds k;
    each_line(text, TC_KINDS_LINE_MAX, [&](std::string_view line) { return tc_kinds_line(&k, line) != 0; });
    tc_kinds_format(&k, out, size);
}
