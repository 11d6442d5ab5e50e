#include "burst/trace_classify.hpp"

#include <algorithm>
#include <cstring>

#include "core/text_lines.hpp"
#include "core/vis_text.hpp"

// Table order is the tie-break order.
const char *const TXPATH_FRAMES[TXPATH_N + 1] = {
    "__dev_queue_xmit", "sch_direct_xmit", "dev_hard_start_xmit", "nf_flow_queue_xmit",
    "vlan_dev_hard_start_xmit", "ip6_finish_output", "ip_finish_output", "ip6_output",
    "ip_output", "ndisc_send_skb", "arp_solicit", "i40e_", "fq_", "qdisc_drop", nullptr,
};

void stack_tally_line(StackTally *t, const char *line)
{
    if (std::strstr(line, "<stack trace>")) {
        t->n_stacks++;
        return;
    }
    const char *f = std::strstr(line, "=> ");
    if (!f) return;
    f += 3;
    for (int i = 0; i < TXPATH_N; i++) {
        if (std::strncmp(f, TXPATH_FRAMES[i], std::strlen(TXPATH_FRAMES[i])) == 0) {
            t->hits[i]++;
            return;
        }
    }
}

void txpath_summary(const StackTally &t, char *out, size_t size)
{
    int32_t c[TXPATH_N];
    std::memcpy(c, t.hits, sizeof c);
    size_t len = 0;
    out[0] = '\0';
    for (int pick = 0; pick < 3 && len <= 190; pick++) {
        int best = -1;
        for (int i = 0; i < TXPATH_N; i++)
            if (c[i] > 0 && (best < 0 || c[i] > c[best])) best = i;
        if (best < 0) break;
        int n = std::snprintf(out + len, size - len, "%s%d %s", pick ? ", " : "", c[best], TXPATH_FRAMES[best]);
        if (n < 0) break;
        len = std::min(len + static_cast<size_t>(n), size - 1);
        c[best] = 0;
    }
}

// Copies the token at s, ending at a blank or any byte of stops, into out.
static void take_token(const char *s, const char *stops, char *out, size_t size)
{
    size_t n = 0;
    while (s[n] && s[n] != ' ' && s[n] != '\t' && !std::strchr(stops, s[n]) && n + 1 < size) n++;
    std::memcpy(out, s, n);
    out[n] = '\0';
    vis_inplace(out);
    if (n == 0) std::snprintf(out, size, "-");
}

void reason_tally_line(ReasonTally *t, const char *line)
{
    if (!std::strstr(line, "kfree_skb: ")) return;
    const char *loc = std::strstr(line, "location=");
    const char *rs = std::strstr(line, " reason: ");
    char func[sizeof t->e[0].func], reason[sizeof t->e[0].reason];
    // "location=fn+0x89/0x200"; older kernels print a bare address.
    take_token(loc ? loc + 9 : "", "+", func, sizeof func);
    take_token(rs ? rs + 9 : "", "", reason, sizeof reason);
    for (int32_t i = 0; i < t->n; i++) {
        if (std::strcmp(t->e[i].func, func) == 0 && std::strcmp(t->e[i].reason, reason) == 0) {
            t->e[i].count++;
            return;
        }
    }
    if (t->n == REASON_SLOTS) {
        t->other++;
        return;
    }
    ReasonCount &e = t->e[t->n++];
    std::memcpy(e.func, func, sizeof func);
    std::memcpy(e.reason, reason, sizeof reason);
    e.count = 1;
}

void reasons_write(ReasonTally *t, FILE *out)
{
    // Stable, so equal counts keep the order in which the trace first showed them.
    std::stable_sort(t->e, t->e + t->n, [](const ReasonCount &a, const ReasonCount &b) { return a.count > b.count; });
    int lines = 0;
    for (int32_t i = 0; i < t->n && lines < REASON_LINES; i++, lines++)
        std::fprintf(out, "%lld %s %s\n", static_cast<long long>(t->e[i].count), t->e[i].reason, t->e[i].func);
    if (t->other > 0 && lines < REASON_LINES)
        std::fprintf(out, "%lld (other) -\n", static_cast<long long>(t->other));
}
