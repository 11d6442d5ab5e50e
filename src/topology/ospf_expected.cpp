// Expected OSPF neighbours: the addresses inside the "neighbors { ... }" blocks
// of the BIRD configuration, labelled by their trailing comments.
#include "topology/ospf_expected.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/kernel_file.hpp"
#include "core/text_lines.hpp"
#include "core/vis_text.hpp"
#include "topology/conf_file.hpp"

OspfExpected g_ospf_exp[MAX_OSPF_EXP];
int32_t g_n_ospf_exp = 0;

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Only digits count, unlike a scanf conversion; a long run of digits saturates
// above 255 instead of wrapping.
bool ipv4_at(const char *p, unsigned o[4], size_t *len)
{
    size_t i = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0 && p[i++] != '.') return false;
        if (!is_digit(p[i])) return false;
        unsigned v = 0;
        for (; is_digit(p[i]); i++)
            if (v <= 255) v = v * 10 + static_cast<unsigned>(p[i] - '0');
        if (v > 255) return false;
        o[part] = v;
    }
    *len = i;
    return true;
}

const char *find_ipv4(const char *text, unsigned o[4], size_t *len)
{
    const char *p = text;
    while (*p) {
        if (!is_digit(*p)) {
            p++;
            continue;
        }
        if (ipv4_at(p, o, len)) return p;
        while (is_digit(*p)) p++;  // resume after this run of digits
    }
    return nullptr;
}

bool looks_ipv4(const char *text, char out[48])
{
    unsigned o[4];
    size_t len;
    if (!find_ipv4(text, o, &len)) return false;
    std::snprintf(out, 48, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
    return true;
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

static void ospf_conf_from(LineSource *src)
{
    bool in_block = false;
    char line[512];  // longer lines are cut and their rest skipped
    while (ls_getline(src, line, sizeof line) >= 0) ospf_conf_line(&in_block, line);
}

void ospf_expected_parse(std::string_view text)
{
    g_n_ospf_exp = 0;
    LineSource src = lines_of(text);
    ospf_conf_from(&src);
}

void load_ospf_expected(const char *path)
{
    g_n_ospf_exp = 0;
    std::string text;
    if (conf_read(path, &text)) ospf_expected_parse(text);
}
