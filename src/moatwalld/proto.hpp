// The control socket's line protocol: one request line in; data lines, then
// one final "OK" or "ERR reason" line out.
#pragma once
#include <cstddef>
#include <cstdint>

#include "moatwall/moatwall_contract.h"

// Longest request before its "\n"; a reply always stays below this size.
#define MW_MAX_LINE 62
#define MW_MAX_REPLY 4095

struct Reply {
    char buf[MW_MAX_REPLY + 1];
    size_t len;
    int omitted;  // data lines of reply_item that did not fit
};

void reply_addf(Reply *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// One data line naming something skipped or in conflict; past what fits
// beside the final line, they are only counted ("... and 12 more").
void reply_item(Reply *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Answers one request line (without its "\n"); may hold any byte but "\n".
// A peer that is not root gets "ERR not permitted" and changes nothing.
void handle_line(const char *line, size_t len, int root, Reply *r);
