#include "moatwalld/proto.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <net/if.h>

#include "moatwalld/args.hpp"
#include "moatwalld/gate.hpp"
#include "moatwalld/guard.hpp"

// Room kept for the count line and the final line (an ERR reason is at most
// ERR_CAP), so a reply of many items still ends whole.
#define ERR_CAP 300
#define ITEM_RESERVE (ERR_CAP + 64)

static void reply_vaddf(Reply *r, const char *fmt, va_list ap)
{
    size_t room = sizeof r->buf - r->len;
    int n = vsnprintf(r->buf + r->len, room, fmt, ap);
    if (n > 0) r->len += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

void reply_addf(Reply *r, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    reply_vaddf(r, fmt, ap);
    va_end(ap);
}

void reply_item(Reply *r, const char *fmt, ...)
{
    char line[200];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (r->omitted || r->len + strlen(line) + 1 + ITEM_RESERVE > MW_MAX_REPLY)
        r->omitted++;
    else
        reply_addf(r, "%s\n", line);
}

static int valid_ifname(const char *s)
{
    size_t n = strlen(s);
    if (n == 0 || n >= IF_NAMESIZE || strcmp(s, ".") == 0 || strcmp(s, "..") == 0) return 0;
    for (size_t i = 0; i < n; i++)
        if (s[i] <= ' ' || s[i] == '/' || s[i] == ':' || s[i] >= 0x7f) return 0;
    return 1;
}

typedef int (*Handler)(const char *arg, Reply *r, char *err, size_t errlen);

static int cmd_status(const char *, Reply *r, char *, size_t)
{
    int att = gate_attached();
    reply_addf(r, "iface %s\n", g_gate.iface);
    reply_addf(r, "attached %d %s\n", att, att ? g_gate.mode : "none");
    char gates[1024] = "";
    gate_list(gates, sizeof gates, 16);
    reply_addf(r, "%s", gates);
    return 0;
}

static int cmd_attach(const char *, Reply *r, char *err, size_t errlen)
{
    if (gate_attach(err, errlen) != 0) return -1;
    guard_conflicts(r);
    return 0;
}

static int cmd_detach(const char *, Reply *, char *err, size_t errlen) { return gate_detach(err, errlen); }
static int cmd_seed(const char *, Reply *r, char *err, size_t errlen) { return guard_seed(r, err, errlen); }

static int cmd_block(const char *arg, Reply *, char *err, size_t errlen)
{
    MwPrefix p;
    if (parse_prefix(arg, &p, err, errlen) != 0 || guard_block(p, err, errlen) != 0) return -1;
    return gate_block(p, err, errlen);
}

static int cmd_unblock(const char *arg, Reply *, char *err, size_t errlen)
{
    MwPrefix p;
    return parse_prefix(arg, &p, err, errlen) != 0 ? -1 : gate_unblock(p, err, errlen);
}

static int port_arg(const char *arg, uint16_t *port, char *err, size_t errlen)
{
    if (parse_port(arg, port) == 0) return 0;
    char shown[MW_MAX_LINE + 1];
    printable_copy(shown, sizeof shown, arg);
    snprintf(err, errlen, "port must be 1 to 65535, not %s", shown);
    return -1;
}

static int cmd_drop_port(const char *arg, Reply *, char *err, size_t errlen)
{
    uint16_t port;
    return port_arg(arg, &port, err, errlen) != 0 ? -1 : gate_drop_port(port, err, errlen);
}

static int cmd_undrop_port(const char *arg, Reply *, char *err, size_t errlen)
{
    uint16_t port;
    return port_arg(arg, &port, err, errlen) != 0 ? -1 : gate_undrop_port(port, err, errlen);
}

static int cmd_move(const char *arg, Reply *r, char *err, size_t errlen)
{
    if (!valid_ifname(arg)) {
        char shown[MW_MAX_LINE + 1];
        printable_copy(shown, sizeof shown, arg);
        snprintf(err, errlen, "bad interface name %s", shown);
        return -1;
    }
    if (guard_move(arg, err, errlen) != 0 || gate_move(arg, err, errlen) != 0) return -1;
    guard_conflicts(r);
    return 0;
}

static const struct {
    const char *name;
    bool arg;  // takes one argument, or none
    Handler fn;
} COMMANDS[] = {
    {"status", false, cmd_status},     {"attach", false, cmd_attach},           {"detach", false, cmd_detach},
    {"seed", false, cmd_seed},         {"block", true, cmd_block},              {"unblock", true, cmd_unblock},
    {"drop-port", true, cmd_drop_port}, {"undrop-port", true, cmd_undrop_port}, {"move", true, cmd_move},
};

// Runs one request; 0 or -1 with the reason in err.
static int dispatch(char *req, Reply *r, char *err, size_t errlen)
{
    char *arg = strchr(req, ' ');
    if (arg) *arg++ = '\0';
    if (!req[0] && !arg) {
        snprintf(err, errlen, "empty request");
        return -1;
    }
    for (const auto &c : COMMANDS) {
        if (strcmp(req, c.name) != 0) continue;
        if (c.arg == (arg != nullptr)) return c.fn(arg, r, err, errlen);
        snprintf(err, errlen, "%s %s", c.name, c.arg ? "needs an argument" : "takes no argument");
        return -1;
    }
    char shown[MW_MAX_LINE + 1];
    printable_copy(shown, sizeof shown, req);
    snprintf(err, errlen, "unknown command %s", shown);
    return -1;
}

void handle_line(const char *line, size_t len, int root, Reply *r)
{
    r->len = 0;
    r->omitted = 0;
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
    char err[ERR_CAP] = "";
    int rc = dispatch(req, r, err, sizeof err);
    if (r->omitted) reply_addf(r, "... and %d more\n", r->omitted);
    if (rc == 0)
        reply_addf(r, "OK\n");
    else
        reply_addf(r, "ERR %s\n", err);
}
