// Arguments of requests read strictly: source prefixes of both families (also
// printed and compared here) and ports.
#pragma once
#include <cstddef>
#include <cstdint>

#include "moatwall/moatwall_contract.h"

// Longest text prefix_fmt writes: a full IPv6 address with a dotted tail, "/128".
#define MW_PREFIX_TEXT 52

struct MwPrefix {
    int family;        // AF_INET or AF_INET6
    unsigned len;      // prefix length, at most 32 or 128
    uint8_t addr[16];  // network order; IPv4 uses the first 4 bytes
};

// Strict a.b.c.d/len, or any RFC 4291 IPv6 text with /len; the network
// address only. 0, or -1 with the reason in err.
int parse_prefix(const char *s, MwPrefix *out, char *err, size_t errlen);
// "a.b.c.d/len" or the RFC 5952 form of an IPv6 prefix.
void prefix_fmt(const MwPrefix &p, char out[MW_PREFIX_TEXT]);
// The address alone, in the same forms.
void addr_fmt(int family, const uint8_t *addr, char out[MW_PREFIX_TEXT]);
// Whether addr (of family) lies inside p.
bool prefix_covers(const MwPrefix &p, int family, const uint8_t *addr);

// Decimal 1 to 65535, nothing else (leading zeros allowed).
int parse_port(const char *s, uint16_t *out);
// Printable ASCII copy of request text for a reason ('?' for anything else).
void printable_copy(char *dst, size_t cap, const char *src);

// The map keys and back.
mw_drop4_key prefix_key4(const MwPrefix &p);
mw_drop6_key prefix_key6(const MwPrefix &p);
MwPrefix prefix_from4(const mw_drop4_key &k);
MwPrefix prefix_from6(const mw_drop6_key &k);
