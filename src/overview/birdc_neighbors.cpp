#include "overview/birdc_neighbors.hpp"

#include <cstdio>
#include <cstring>

#include "core/kernel_file.hpp"
#include "core/vis_text.hpp"
#include "topology/ospf_expected.hpp"

bool birdc_starts_with_quad(const char *text)
{
    unsigned o[4];
    size_t len;
    return ipv4_at(text, o, &len);
}

// The address finder again and again, each time just after the address it found;
// the normal form lets seen and expected addresses compare as text.
bool birdc_last_ipv4(const char *text, char out[48])
{
    bool found = false;
    unsigned o[4];
    size_t len;
    for (const char *p = text; (p = find_ipv4(p, o, &len)) != nullptr; p += len) {
        std::snprintf(out, 48, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
        found = true;
    }
    return found;
}

void birdc_scan_init(BirdcScan *s)
{
    for (bool &seen : s->expected_seen) seen = false;
    s->table_seen = false;
    s->first_line[0] = '\0';
}

BirdcLineKind birdc_scan_line(BirdcScan *s, const char *line, const char **entry, bool *full)
{
    if (s->first_line[0] == '\0' && line[0] != '\0') {
        // Stored as the notice shows it, 120 bytes; filtered after the cut, so a
        // cut through a UTF-8 sequence leaves no half of it on the page.
        std::snprintf(s->first_line, sizeof s->first_line, "%.120s", line);
        vis_inplace(s->first_line);
    }
    if (strcasestr(line, "router id")) {
        s->table_seen = true;
        return BIRDC_HEADER;
    }
    const char *e = skip_blanks(line);
    if (!birdc_starts_with_quad(e)) return BIRDC_OTHER;
    char addr[48];
    if (birdc_last_ipv4(e, addr))
        for (int32_t i = 0; i < g_n_ospf_exp && i < MAX_OSPF_EXP; i++)
            if (std::strcmp(g_ospf_exp[i].address, addr) == 0) s->expected_seen[i] = true;
    *entry = e;
    *full = strcasestr(e, "full") != nullptr;
    return BIRDC_NEIGHBOR;
}
