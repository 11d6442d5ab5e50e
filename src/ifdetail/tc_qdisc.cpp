#include "ifdetail/tc_qdisc.hpp"

#include <cstdio>
#include <cstring>

#include "core/vis_text.hpp"

bool tc_drops_line(uint64_t *sum, std::string_view line)
{
    static constexpr std::string_view key = "dropped ";
    size_t at = line.find(key);
    if (at == std::string_view::npos) return false;
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
    return true;
}

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The next blank-separated word of line from *i on; empty at the end.
static std::string_view next_word(std::string_view line, size_t *i)
{
    while (*i < line.size() && is_blank(line[*i])) ++*i;
    size_t start = *i;
    while (*i < line.size() && !is_blank(line[*i])) ++*i;
    return line.substr(start, *i - start);
}

int tc_kinds_line(TcKinds *k, std::string_view line)
{
    if (k->lines >= 2) return 1;
    k->lines++;
    const int done = k->lines >= 2 ? 1 : 0;
    static constexpr std::string_view word = "qdisc";
    if (line.substr(0, word.size()) != word) return done;
    size_t i = word.size();
    if (i >= line.size() || !is_blank(line[i])) return done;
    std::string_view kind = next_word(line, &i);
    if (kind.empty()) return done;
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

void tc_listing_init(TcListing *ls, const char *const *names, int n)
{
    *ls = TcListing{};
    ls->n = n < 0 ? 0 : n > TC_MAX_DEVS ? TC_MAX_DEVS : n;
    for (int i = 0; i < ls->n; i++) ls->names[i] = names[i];
}

static int watched_slot(const TcListing *ls, std::string_view name)
{
    for (int i = 0; i < ls->n; i++)
        if (ls->names[i] == name) return i;
    return -1;
}

// "qdisc KIND HANDLE dev NAME root ..." or "... dev NAME parent ffff:fff1 ..."
// (ingress and clsact). Only roots count their drops: a classful root already
// holds its children's, and an mq root is the sum of its per-queue ones.
static void qdisc_line(TcListing *ls, std::string_view line)
{
    size_t i = 0;
    next_word(line, &i);  // "qdisc"
    next_word(line, &i);  // the kind
    next_word(line, &i);  // the handle
    ls->cur = -1;
    ls->in_options = true;
    if (next_word(line, &i) != "dev") return;
    ls->cur = watched_slot(ls, next_word(line, &i));
    std::string_view where = next_word(line, &i);
    ls->root = where == "root" || (where == "parent" && next_word(line, &i) == "ffff:fff1");
}

void tc_listing_line(TcListing *ls, std::string_view line)
{
    static constexpr std::string_view qdisc = "qdisc ", stats = " Sent ";
    if (line.substr(0, qdisc.size()) == qdisc) qdisc_line(ls, line);
    if (ls->cur < 0) return;
    TcDevQdiscs *d = &ls->dev[ls->cur];
    if (line.substr(0, stats.size()) == stats) {
        ls->in_options = false;
        if (ls->root) tc_drops_line(&d->drops, line);
        ls->root = false;  // one count per qdisc
    }
    // Without -s the listing is the qdisc lines and their options: the kinds are
    // read from those, as `tc qdisc show dev X | head -2` would show them.
    if (ls->in_options) tc_kinds_line(&d->kinds, line);
}

void tc_listing_text(TcListing *ls, std::string_view text)
{
    while (!text.empty()) {
        size_t nl = text.find('\n');
        tc_listing_line(ls, text.substr(0, nl).substr(0, TC_LINE_MAX));
        if (nl == std::string_view::npos) return;
        text.remove_prefix(nl + 1);
    }
}

// A name watched twice reads as its first slot, where its lines went.
static const TcDevQdiscs *dev_of(const TcListing *ls, int i)
{
    static const TcDevQdiscs none{};
    if (i < 0 || i >= ls->n) return &none;
    int first = watched_slot(ls, ls->names[i]);
    return &ls->dev[first < 0 ? i : first];
}

uint64_t tc_listing_drops(const TcListing *ls, int i) { return dev_of(ls, i)->drops; }

void tc_listing_kinds(const TcListing *ls, int i, char *out, size_t size)
{
    tc_kinds_format(&dev_of(ls, i)->kinds, out, size);
}
