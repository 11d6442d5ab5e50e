#include "moatwalld/args.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

// Request text echoed in a reason lands on the console's terminal: only
// printable ASCII goes back.
void printable_copy(char *dst, size_t cap, const char *src)
{
    size_t i = 0;
    for (; src[i] && i + 1 < cap; i++)
        dst[i] = (src[i] >= 0x20 && src[i] < 0x7f) ? src[i] : '?';
    dst[i] = '\0';
}

// Digits only, at most maxdig of them, no leading zero unless the number is 0
// or leading zeros are allowed.
static const char *read_dec(const char *s, unsigned maxdig, unsigned *out, bool leading_zero_ok = false)
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

int parse_port(const char *s, uint16_t *out)
{
    unsigned v;
    const char *p = read_dec(s, 5, &v, true);
    if (!p || *p || v < 1 || v > 65535) return -1;
    *out = static_cast<uint16_t>(v);
    return 0;
}

static unsigned addr_bits(int family) { return family == AF_INET ? 32 : 128; }

// Clears the bits past len; whether any was set.
static bool mask_host_bits(MwPrefix *p)
{
    bool set = false;
    for (unsigned i = 0; i < addr_bits(p->family) / 8; i++) {
        unsigned keep = p->len >= (i + 1) * 8 ? 8 : p->len > i * 8 ? p->len - i * 8 : 0;
        uint8_t m = static_cast<uint8_t>(0xff00u >> keep);
        set |= (p->addr[i] & ~m) != 0;
        p->addr[i] &= m;
    }
    return set;
}

static int parse_v4(const char *s, const char *shown, MwPrefix *out, char *err, size_t errlen)
{
    const char *p = s;
    for (int i = 0; i < 4; i++) {
        unsigned oct;
        // Leading zeros are refused: other tools read them as octal.
        p = read_dec(p, 3, &oct);
        if (!p || *p != (i < 3 ? '.' : '/')) {
            snprintf(err, errlen, "bad prefix %s (want a.b.c.d/len)", shown);
            return -1;
        }
        if (oct > 255) {
            snprintf(err, errlen, "octet %u over 255 in %s", oct, shown);
            return -1;
        }
        out->addr[i] = static_cast<uint8_t>(oct);
        p++;
    }
    p = read_dec(p, 2, &out->len);
    if (!p || *p) {
        snprintf(err, errlen, "bad prefix %s (want a.b.c.d/len)", shown);
        return -1;
    }
    return 0;
}

// The address through inet_pton, which takes every RFC 4291 form and nothing
// else (no zone, no blanks, no fifth hex digit); the length as for IPv4.
static int parse_v6(const char *s, const char *shown, MwPrefix *out, char *err, size_t errlen)
{
    const char *slash = strchr(s, '/');
    char a[INET6_ADDRSTRLEN + 8];
    size_t n = slash ? static_cast<size_t>(slash - s) : 0;
    const char *end = slash ? read_dec(slash + 1, 3, &out->len) : nullptr;
    if (!slash || n >= sizeof a || !end || *end) {
        snprintf(err, errlen, "bad prefix %s (want address/len)", shown);
        return -1;
    }
    memcpy(a, s, n);
    a[n] = '\0';
    if (inet_pton(AF_INET6, a, out->addr) != 1) {
        snprintf(err, errlen, "bad IPv6 address in %s", shown);
        return -1;
    }
    return 0;
}

int parse_prefix(const char *s, MwPrefix *out, char *err, size_t errlen)
{
    char shown[64];
    printable_copy(shown, sizeof shown, s);
    memset(out, 0, sizeof *out);
    out->family = strchr(s, ':') ? AF_INET6 : AF_INET;
    int rc = out->family == AF_INET ? parse_v4(s, shown, out, err, errlen) : parse_v6(s, shown, out, err, errlen);
    if (rc != 0) return rc;
    if (out->len > addr_bits(out->family)) {
        snprintf(err, errlen, "prefix length %u over %u in %s", out->len, addr_bits(out->family), shown);
        return -1;
    }
    if (mask_host_bits(out)) {
        char net[MW_PREFIX_TEXT];
        prefix_fmt(*out, net);
        snprintf(err, errlen, "host bits set in %s (network is %s)", shown, net);
        return -1;
    }
    return 0;
}

void addr_fmt(int family, const uint8_t *addr, char out[MW_PREFIX_TEXT])
{
    if (!inet_ntop(family, addr, out, MW_PREFIX_TEXT)) snprintf(out, MW_PREFIX_TEXT, "?");
}

void prefix_fmt(const MwPrefix &p, char out[MW_PREFIX_TEXT])
{
    addr_fmt(p.family, p.addr, out);
    size_t n = strlen(out);
    snprintf(out + n, MW_PREFIX_TEXT - n, "/%u", p.len);
}

bool prefix_covers(const MwPrefix &p, int family, const uint8_t *addr)
{
    if (family != p.family) return false;
    MwPrefix a = p;
    memcpy(a.addr, addr, addr_bits(family) / 8);
    mask_host_bits(&a);
    return memcmp(a.addr, p.addr, addr_bits(family) / 8) == 0;
}

mw_drop4_key prefix_key4(const MwPrefix &p)
{
    mw_drop4_key k = {p.len, {}};
    memcpy(k.addr, p.addr, 4);
    return k;
}

mw_drop6_key prefix_key6(const MwPrefix &p)
{
    mw_drop6_key k = {p.len, {}};
    memcpy(k.addr, p.addr, 16);
    return k;
}

MwPrefix prefix_from4(const mw_drop4_key &k)
{
    MwPrefix p = {AF_INET, k.prefixlen, {}};
    memcpy(p.addr, k.addr, 4);
    return p;
}

MwPrefix prefix_from6(const mw_drop6_key &k)
{
    MwPrefix p = {AF_INET6, k.prefixlen, {}};
    memcpy(p.addr, k.addr, 16);
    return p;
}
