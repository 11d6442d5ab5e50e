#include "export/prom_text.hpp"

#include <cmath>
#include <cstring>

#include "core/vis_text.hpp"

namespace {

struct Family {
    StrBuf *out = nullptr;
    const char *name = "";
    const char *type = "";
    const char *help = "";
    bool header_done = false;
};
Family g_fam;

constexpr size_t SEEN_SLOTS = 8192;  // more than any family's series
uint64_t g_seen_hash[SEEN_SLOTS];
uint32_t g_seen_gen[SEEN_SLOTS];
uint32_t g_gen = 0;
StrBuf g_lbl;

uint64_t fnv1a(const char *s, size_t n)
{
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < n; i++) h = (h ^ static_cast<unsigned char>(s[i])) * 1099511628211ULL;
    return h;
}

// Records the label text; false when the family already had it (or is full).
bool first_time(const char *labels, size_t n)
{
    uint64_t h = fnv1a(labels, n);
    for (size_t probe = 0; probe < SEEN_SLOTS; probe++) {
        size_t i = (h + probe) % SEEN_SLOTS;
        if (g_seen_gen[i] != g_gen) {
            g_seen_gen[i] = g_gen;
            g_seen_hash[i] = h;
            return true;
        }
        if (g_seen_hash[i] == h) return false;
    }
    return false;
}

// Starts a sample line: header if due, name and labels; false to skip it.
bool sample_start(bool with_labels)
{
    const char *l = with_labels ? g_lbl.buf : "";
    size_t ln = with_labels ? g_lbl.len : 0;
    if (!first_time(l, ln)) return false;
    if (!g_fam.header_done) {
        sb_addf(g_fam.out, "# HELP %s %s\n# TYPE %s %s\n", g_fam.name, g_fam.help, g_fam.name, g_fam.type);
        g_fam.header_done = true;
    }
    if (ln)
        sb_addf(g_fam.out, "%s{%s} ", g_fam.name, l);
    else
        sb_addf(g_fam.out, "%s ", g_fam.name);
    return true;
}

}  // namespace

void tf_family(StrBuf *out, const char *name, const char *type, const char *help)
{
    g_fam = Family{out, name, type, help, false};
    if (++g_gen == 0) {  // wrapped: old stamps could match again
        std::memset(g_seen_gen, 0, sizeof g_seen_gen);
        g_gen = 1;
    }
}

void tf_labels_begin()
{
    if (!g_lbl.buf) sb_init(&g_lbl, 1024);
    sb_clear(&g_lbl);
}

void tf_label(const char *key, const char *value, size_t n)
{
    sb_addf(&g_lbl, "%s%s=\"", g_lbl.len ? "," : "", key);
    tf_label_value(&g_lbl, value, n == SIZE_MAX ? std::strlen(value) : n);
    sb_addf(&g_lbl, "\"");
}

void tf_value_u(uint64_t v, bool with_labels)
{
    if (sample_start(with_labels)) sb_addf(g_fam.out, "%llu\n", static_cast<unsigned long long>(v));
}

void tf_value_i(int64_t v, bool with_labels)
{
    if (sample_start(with_labels)) sb_addf(g_fam.out, "%lld\n", static_cast<long long>(v));
}

void tf_value_d(double v, bool with_labels)
{
    if (!sample_start(with_labels)) return;
    if (std::isnan(v))
        sb_addf(g_fam.out, "NaN\n");
    else if (std::isinf(v))
        sb_addf(g_fam.out, "%sInf\n", v > 0 ? "+" : "-");
    else
        sb_addf(g_fam.out, "%.15g\n", v);
}

void tf_single_u(StrBuf *out, const char *name, const char *type, const char *help, uint64_t v)
{
    tf_family(out, name, type, help);
    tf_value_u(v, false);
}

void tf_label_value(StrBuf *out, const char *s, size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    const unsigned char *end = p + n;
    while (p < end) {
        unsigned char c = *p;
        if (c == '\\') {
            sb_addf(out, "\\\\");
        } else if (c == '"') {
            sb_addf(out, "\\\"");
        } else if (c == '\n') {
            sb_addf(out, "\\n");
        } else if (c >= 0x20 && c < 0x7f) {
            sb_addf(out, "%c", c);
        } else {
            // The text may be cut: a sequence must end inside it to be valid.
            size_t len = c >= 0x80 && static_cast<size_t>(end - p) >= 2 ? utf8_seq_len(p) : 0;
            if (len > static_cast<size_t>(end - p)) len = 0;
            bool c1 = len == 2 && c == 0xc2 && p[1] <= 0x9f;  // U+0080..U+009F controls
            if (len > 0 && !c1) {
                sb_addf(out, "%.*s", static_cast<int>(len), reinterpret_cast<const char *>(p));
                p += len;
                continue;
            }
            sb_addf(out, "\\\\x%02x", c);  // a literal backslash, then the byte in hex
        }
        p++;
    }
}
