// moatwalld's request parser, with the kernel side replaced by a recorder:
// whatever the line, one well-formed reply of printable text comes back.
#include <string>
#include <sys/socket.h>

#include "fuzz_check.hpp"
#include "moatwalld/gate.hpp"
#include "moatwalld/proto.hpp"
#include "moatwalld/router_addrs.hpp"

Gate g_gate = {"", "eth0", nullptr, -1, 0, -1, -1, -1, -1, -1, "xdpdrv", 0, -1};
static int g_fail;  // from the input: whether the kernel side refuses

static int done(char *err, size_t n)
{
    if (!g_fail) return 0;
    std::snprintf(err, n, "kernel said no");
    return -1;
}
int gate_attach(char *err, size_t n) { return done(err, n); }
int gate_detach(char *err, size_t n) { return done(err, n); }
int gate_move(const char *ifname, char *err, size_t n)
{
    FUZZ_REQUIRE(std::strlen(ifname) < 16);
    return done(err, n);
}
// Never /0, never a prefix over the router's own addresses below.
int gate_block(const MwPrefix &p, char *err, size_t n)
{
    FUZZ_REQUIRE(p.len > 0 && p.len <= (p.family == AF_INET ? 32u : 128u));
    static const uint8_t own4[4] = {192, 0, 2, 1}, own6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    FUZZ_REQUIRE(!prefix_covers(p, AF_INET, own4) && !prefix_covers(p, AF_INET6, own6));
    return done(err, n);
}
int gate_unblock(const MwPrefix &p, char *err, size_t n)
{
    FUZZ_REQUIRE(p.len <= (p.family == AF_INET ? 32u : 128u));
    return done(err, n);
}
// A list long enough that every conflict reply needs its count line.
void gate_each_prefix(void (*fn)(const MwPrefix &p, void *ctx), void *ctx)
{
    for (unsigned len = 0; len <= 128; len++) {
        MwPrefix p = {AF_INET6, len, {0xfe, 0x80}};
        fn(p, ctx);
    }
}
void router_addrs(const char *ifname, RouterAddrs *out)
{
    *out = {};
    out->a[0] = {AF_INET, false, {192, 0, 2, 1}, {}};
    out->a[1] = {AF_INET6, false, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {}};
    for (int i = 0; i < 2; i++) std::snprintf(out->a[i].ifname, sizeof out->a[i].ifname, "%s", ifname);
    out->n = 2;
}
int gate_drop_port(uint16_t port, char *err, size_t n)
{
    FUZZ_REQUIRE(port != 0);
    return done(err, n);
}
int gate_undrop_port(uint16_t port, char *err, size_t n) { return gate_drop_port(port, err, n); }
int gate_attached() { return 1; }
int gate_list(char *buf, size_t cap, int)
{
    std::snprintf(buf, cap, "gate eth0 xdpdrv\n");
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    int root = data[0] & 1;
    g_fail = data[0] & 2;
    std::string_view line = as_text(data + 1, size - 1);
    if (line.find('\n') != std::string_view::npos) line = line.substr(0, line.find('\n'));  // the reader splits there
    static Reply r;
    handle_line(line.data(), line.size(), root, &r);
    FUZZ_REQUIRE(r.len > 0 && r.len < sizeof r.buf && r.buf[r.len] == '\0' && r.buf[r.len - 1] == '\n');
    FUZZ_REQUIRE(std::strlen(r.buf) == r.len);
    // Data lines, then exactly one final line; nothing but printable text.
    std::string_view rv(r.buf, r.len);
    size_t last = rv.rfind('\n', r.len - 2);
    std::string_view fin = rv.substr(last == std::string_view::npos ? 0 : last + 1);
    FUZZ_REQUIRE(fin.substr(0, 2) == "OK" || fin.substr(0, 4) == "ERR ");
    FUZZ_REQUIRE(r.len < MW_MAX_REPLY);
    std::string_view body = rv.substr(0, r.len - fin.size());
    for (size_t at = 0; at < body.size();) {
        size_t nl = body.find('\n', at);
        std::string_view dl = body.substr(at, nl - at);
        FUZZ_REQUIRE(dl.substr(0, 2) != "OK" && dl.substr(0, 3) != "ERR");
        at = nl + 1;
    }
    for (char c : rv) FUZZ_REQUIRE(c == '\n' || (c >= 0x20 && c < 0x7f));
    if (!root && line.find('\0') == std::string_view::npos) FUZZ_REQUIRE(rv == "ERR not permitted\n");
    return 0;
}
