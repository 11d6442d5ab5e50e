#include "overview/birdc_neighbors.hpp"

#include <cstdio>
#include <cstring>

#include "topology/ospf_expected.hpp"

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Four dot-separated decimal numbers, each at most 255, at p. On success *len is
// the length of the dotted text. Digits only: no signs or blanks inside, and a
// long run of digits cannot overflow.
static bool parse_quad(const char *p, size_t *len)
{
    size_t i = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            if (p[i] != '.') return false;
            i++;
        }
        if (!is_digit(p[i])) return false;
        unsigned v = 0;
        for (; is_digit(p[i]); i++)
            if (v <= 255) v = v * 10 + static_cast<unsigned>(p[i] - '0');
        if (v > 255) return false;
    }
    *len = i;
    return true;
}

bool birdc_starts_with_quad(const char *text)
{
    size_t len;
    return parse_quad(text, &len);
}

bool birdc_last_ipv4(const char *text, char out[48])
{
    const char *last = nullptr;
    size_t last_len = 0;
    const char *p = text;
    while (*p) {
        if (!is_digit(*p)) {
            p++;
            continue;
        }
        size_t len;
        if (parse_quad(p, &len)) {
            last = p;
            last_len = len;
            p += len;  // the search goes on just after this address
        } else {
            while (is_digit(*p)) p++;  // a failed candidate resumes after its first number
        }
    }
    if (!last) return false;
    // The shared finder writes the normal form, so seen and expected compare as text.
    char quad[48];
    std::snprintf(quad, sizeof quad, "%.*s", static_cast<int>(last_len), last);
    return looks_ipv4(quad, out);
}

void birdc_scan_init(BirdcScan *s)
{
    s->n_addrs = 0;
    s->table_seen = false;
    s->first_line[0] = '\0';
}

BirdcLineKind birdc_scan_line(BirdcScan *s, const char *line, const char **entry, bool *full)
{
    if (s->first_line[0] == '\0' && line[0] != '\0')
        std::snprintf(s->first_line, sizeof s->first_line, "%s", line);
    if (strcasestr(line, "router id")) {
        s->table_seen = true;
        return BIRDC_HEADER;
    }
    const char *e = line;
    while (*e == ' ' || *e == '\t') e++;
    if (!birdc_starts_with_quad(e)) return BIRDC_OTHER;
    char addr[48];
    if (birdc_last_ipv4(e, addr) && s->n_addrs < BIRDC_MAX_ADDRS)
        std::snprintf(s->addrs[s->n_addrs++], sizeof s->addrs[0], "%s", addr);
    *entry = e;
    *full = strcasestr(e, "full") != nullptr;
    return BIRDC_NEIGHBOR;
}
