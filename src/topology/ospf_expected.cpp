// Expected OSPF neighbours: the addresses inside the "neighbors { ... }" blocks
// of the BIRD configuration, labelled by their trailing comments.
#include "topology/ospf_expected.hpp"

#include <cstdio>
#include <cstring>

#include "core/vis_text.hpp"
#include "overview/read_util.hpp"
#include "topology/conf_file.hpp"

OspfExpected g_ospf_exp[MAX_OSPF_EXP];
int32_t g_n_ospf_exp = 0;

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads one run of digits at *p into *v (saturated above 255), advancing *p.
// Only digits count: no sign, no blank, unlike a scanf conversion.
static bool read_octet(const char **p, unsigned *v)
{
    if (!is_digit(**p)) return false;
    unsigned n = 0;
    while (is_digit(**p)) {
        if (n <= 255) n = n * 10 + static_cast<unsigned>(**p - '0');
        (*p)++;
    }
    *v = n;
    return true;
}

bool looks_ipv4(const char *text, char out[48])
{
    const char *p = text;
    while (*p) {
        if (!is_digit(*p)) {
            p++;
            continue;
        }
        const char *q = p;
        unsigned o[4];
        bool ok = true;
        for (int i = 0; i < 4 && ok; i++) {
            if (i > 0 && *q++ != '.') ok = false;
            else if (!read_octet(&q, &o[i]) || o[i] > 255) ok = false;
        }
        if (ok) {
            std::snprintf(out, 48, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
            return true;
        }
        // Resume after this run of digits, inside the failed dotted text, so
        // 300.1.2.3.4 still yields 1.2.3.4.
        while (is_digit(*p)) p++;
    }
    return false;
}

static const char *skip_blanks(const char *p)
{
    while (*p == ' ' || *p == '\t') p++;
    return p;
}

void ospf_conf_line(bool *in_block, char *raw)
{
    rstrip(raw);
    char *line = raw + (skip_blanks(raw) - raw);
    if (line[0] == '#') return;
    if (!*in_block) {
        if (std::strstr(line, "neighbors") && std::strchr(line, '{')) *in_block = true;
        return;
    }
    if (std::strchr(line, '}')) {
        *in_block = false;
        return;
    }
    char label[64] = "";
    if (char *hash = std::strchr(line, '#')) {
        std::snprintf(label, sizeof label, "%s", skip_blanks(hash + 1));
        rstrip(label);
        *hash = '\0';
    }
    char addr[48];
    if (!looks_ipv4(line, addr) || g_n_ospf_exp >= MAX_OSPF_EXP) return;
    OspfExpected &e = g_ospf_exp[g_n_ospf_exp++];
    std::memcpy(e.address, addr, sizeof addr);
    std::snprintf(e.label, sizeof e.label, "%s", label[0] ? label : addr);
    vis_inplace(e.label);  // labels are only ever shown
}

void load_ospf_expected(const char *path)
{
    g_n_ospf_exp = 0;
    UniqueFd fd;
    LineReader lr;
    if (!conf_open(path, &fd, &lr)) return;
    bool in_block = false;
    char line[512];  // longer lines are cut and their rest skipped
    while (lr_getline(&lr, line, sizeof line) >= 0) ospf_conf_line(&in_block, line);
}
