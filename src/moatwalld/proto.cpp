#include "moatwalld/proto.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <net/if.h>

#include "moatwalld/gate.hpp"

void reply_addf(Reply *r, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(r->buf + r->len, sizeof r->buf - r->len, fmt, ap);
    va_end(ap);
    size_t room = sizeof r->buf - r->len;
    if (n > 0) r->len += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

// Request text echoed in a reason lands on the console's terminal: only
// printable ASCII goes back.
static void clean_copy(char *dst, size_t cap, const char *src)
{
    size_t i = 0;
    for (; src[i] && i + 1 < cap; i++)
        dst[i] = (src[i] >= 0x20 && src[i] < 0x7f) ? src[i] : '?';
    dst[i] = '\0';
}

// Digits only, at most maxdig of them, no leading zero unless the number is 0.
static const char *read_dec(const char *s, unsigned maxdig, unsigned *out, bool leading_zero_ok)
{
    unsigned v = 0, n = 0;
    while (s[n] >= '0' && s[n] <= '9') {
        if (n == maxdig) return nullptr;
        v = v * 10 + static_cast<unsigned>(s[n] - '0');
        n++;
    }
    if (n == 0 || (!leading_zero_ok && n > 1 && s[0] == '0')) return nullptr;
    *out = v;
    return s + n;
}

int parse_prefix(const char *s, mw_drop4_key *out, char *err, size_t errlen)
{
    char shown[MW_MAX_LINE + 1];
    clean_copy(shown, sizeof shown, s);
    unsigned oct[4], len;
    const char *p = s;
    for (int i = 0; i < 4; i++) {
        // Leading zeros are refused: other tools read them as octal.
        p = read_dec(p, 3, &oct[i], false);
        if (!p || *p != (i < 3 ? '.' : '/')) {
            snprintf(err, errlen, "bad prefix %s (want a.b.c.d/len)", shown);
            return -1;
        }
        if (oct[i] > 255) {
            snprintf(err, errlen, "octet %u over 255 in %s", oct[i], shown);
            return -1;
        }
        p++;
    }
    p = read_dec(p, 2, &len, false);
    if (!p || *p) {
        snprintf(err, errlen, "bad prefix %s (want a.b.c.d/len)", shown);
        return -1;
    }
    if (len > 32) {
        snprintf(err, errlen, "prefix length %u over 32 in %s", len, shown);
        return -1;
    }
    uint32_t a = oct[0] << 24 | oct[1] << 16 | oct[2] << 8 | oct[3];
    uint32_t mask = len ? ~0u << (32 - len) : 0;
    if (a & ~mask) {
        uint32_t n = a & mask;
        snprintf(err, errlen, "host bits set in %s (network is %u.%u.%u.%u/%u)", shown, n >> 24, n >> 16 & 255,
                 n >> 8 & 255, n & 255, len);
        return -1;
    }
    out->prefixlen = len;
    for (int i = 0; i < 4; i++) out->addr[i] = static_cast<uint8_t>(oct[i]);
    return 0;
}

int parse_port(const char *s, uint16_t *out)
{
    unsigned v;
    const char *p = read_dec(s, 5, &v, true);
    if (!p || *p || v < 1 || v > 65535) return -1;
    *out = static_cast<uint16_t>(v);
    return 0;
}

static int valid_ifname(const char *s)
{
    size_t n = strlen(s);
    if (n == 0 || n >= IF_NAMESIZE || strcmp(s, ".") == 0 || strcmp(s, "..") == 0) return 0;
    for (size_t i = 0; i < n; i++)
        if (s[i] <= ' ' || s[i] == '/' || s[i] == ':' || s[i] >= 0x7f) return 0;
    return 1;
}

static void cmd_status(Reply *r)
{
    int att = gate_attached();
    reply_addf(r, "iface %s\n", g_gate.iface);
    reply_addf(r, "attached %d %s\n", att, att ? g_gate.mode : "none");
    char gates[1024] = "";
    gate_list(gates, sizeof gates, 16);
    reply_addf(r, "%s", gates);
    reply_addf(r, "OK\n");
}

void handle_line(const char *line, size_t len, int root, Reply *r)
{
    r->len = 0;
    r->buf[0] = '\0';
    if (memchr(line, '\0', len)) {
        reply_addf(r, "ERR NUL byte in request\n");
        return;
    }
    if (!root) {
        reply_addf(r, "ERR not permitted\n");
        return;
    }
    char req[MW_MAX_LINE + 1];
    snprintf(req, sizeof req, "%.*s", static_cast<int>(len), line);
    char *arg = strchr(req, ' ');
    if (arg) *arg++ = '\0';
    char err[160] = "";
    int rc = 0;
    const bool noarg = arg == nullptr;

    if (!req[0] && noarg) {
        reply_addf(r, "ERR empty request\n");
        return;
    }
    if (strcmp(req, "status") == 0 && noarg) {
        cmd_status(r);
        return;
    }
    if (strcmp(req, "attach") == 0 && noarg) {
        rc = gate_attach(err, sizeof err);
    } else if (strcmp(req, "detach") == 0 && noarg) {
        rc = gate_detach(err, sizeof err);
    } else if (strcmp(req, "seed") == 0 && noarg) {
        rc = gate_seed(err, sizeof err);
    } else if ((strcmp(req, "block") == 0 || strcmp(req, "unblock") == 0) && !noarg) {
        mw_drop4_key k;
        rc = parse_prefix(arg, &k, err, sizeof err);
        if (rc == 0) rc = req[0] == 'b' ? gate_block(k, err, sizeof err) : gate_unblock(k, err, sizeof err);
    } else if ((strcmp(req, "drop-port") == 0 || strcmp(req, "undrop-port") == 0) && !noarg) {
        uint16_t port;
        char shown[MW_MAX_LINE + 1];
        clean_copy(shown, sizeof shown, arg);
        rc = parse_port(arg, &port);
        if (rc != 0)
            snprintf(err, sizeof err, "port must be 1 to 65535, not %s", shown);
        else
            rc = req[0] == 'd' ? gate_drop_port(port, err, sizeof err) : gate_undrop_port(port, err, sizeof err);
    } else if (strcmp(req, "move") == 0 && !noarg) {
        char shown[MW_MAX_LINE + 1];
        clean_copy(shown, sizeof shown, arg);
        if (!valid_ifname(arg)) {
            snprintf(err, sizeof err, "bad interface name %s", shown);
            rc = -1;
        } else {
            rc = gate_move(arg, err, sizeof err);
        }
    } else {
        static const char *const KNOWN[] = {"status", "attach", "detach", "seed", "block", "unblock",
                                            "drop-port", "undrop-port", "move"};
        char shown[MW_MAX_LINE + 1];
        clean_copy(shown, sizeof shown, req);
        const char *usage = nullptr;
        for (const char *k : KNOWN)
            if (strcmp(req, k) == 0) usage = k;
        if (!usage)
            snprintf(err, sizeof err, "unknown command %s", shown);
        else if (noarg)
            snprintf(err, sizeof err, "%s needs an argument", usage);
        else
            snprintf(err, sizeof err, "%s takes no argument", usage);
        rc = -1;
    }
    if (rc == 0)
        reply_addf(r, "OK\n");
    else
        reply_addf(r, "ERR %s\n", err);
}
