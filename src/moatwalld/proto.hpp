// The control socket's line protocol: one request line in; data lines, then
// one final "OK" or "ERR reason" line out.
#pragma once
#include <cstddef>
#include <cstdint>

#include "gate/moatwall_contract.h"

// Longest request before its "\n"; a reply always stays below this size.
#define MW_MAX_LINE 62
#define MW_MAX_REPLY 4095

struct Reply {
    char buf[MW_MAX_REPLY + 1];
    size_t len;
};

void reply_addf(Reply *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Strict a.b.c.d/len, network address only; 0 or -1 with the reason in err.
int parse_prefix(const char *s, mw_drop4_key *out, char *err, size_t errlen);
// Decimal 1 to 65535, nothing else.
int parse_port(const char *s, uint16_t *out);

// Answers one request line (without its "\n"); may hold any byte but "\n".
// A peer that is not root gets "ERR not permitted" and changes nothing.
void handle_line(const char *line, size_t len, int root, Reply *r);
