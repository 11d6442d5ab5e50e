#include "moatwalld/guard.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "core/unique_fd.hpp"
#include "moatwalld/gate.hpp"
#include "moatwalld/proto.hpp"
#include "moatwalld/router_addrs.hpp"

// Special-purpose blocks (RFC 6890 and the IANA registries) that never appear
// as a source on a WAN. Never :: (duplicate address detection and MLD send
// from it), fe80::/10 or ff00::/8 (neighbour discovery, OSPFv3), nor the
// NAT64 and 6to4 ranges that real peers use.
static const char *const SEED[] = {
    "0.0.0.0/8",      "10.0.0.0/8",      "100.64.0.0/10",    "127.0.0.0/8",    "169.254.0.0/16",
    "172.16.0.0/12",  "192.0.0.0/24",    "192.0.2.0/24",     "192.168.0.0/16", "198.18.0.0/15",
    "198.51.100.0/24", "203.0.113.0/24", "224.0.0.0/4",      "240.0.0.0/4",
    "::1/128",        "::ffff:0:0/96",   "100::/64",         "2001:db8::/32",  "3fff::/20",
    "fc00::/7",       "fec0::/10",
};

// Index of the first address in ra that p covers, or -1.
static int covered(const MwPrefix &p, const RouterAddrs &ra)
{
    for (int i = 0; i < ra.n; i++)
        if (prefix_covers(p, ra.a[i].family, ra.a[i].addr)) return i;
    return -1;
}

// "10.0.0.0/8: covers 10.33.0.1 on gw0", the text every check names a prefix with.
static void why(const MwPrefix &p, const RouterAddrs &ra, int i, char *out, size_t cap)
{
    char pt[MW_PREFIX_TEXT], at[MW_PREFIX_TEXT];
    prefix_fmt(p, pt);
    addr_fmt(ra.a[i].family, ra.a[i].addr, at);
    snprintf(out, cap, "%s: covers %s%s on %s", pt, ra.a[i].hop ? "next hop " : "", at, ra.a[i].ifname);
}

static RouterAddrs g_ra;

int guard_block(const MwPrefix &p, char *err, size_t errlen)
{
    if (p.len == 0) {
        snprintf(err, errlen, "refused %s/0: it drops every %s source", p.family == AF_INET ? "0.0.0.0" : "::",
                 p.family == AF_INET ? "IPv4" : "IPv6");
        return -1;
    }
    router_addrs(g_gate.iface, &g_ra);
    int i = covered(p, g_ra);
    if (i < 0) return 0;
    char w[160];
    why(p, g_ra, i, w, sizeof w);
    snprintf(err, errlen, "refused %s", w);
    return -1;
}

int guard_seed(Reply *r, char *err, size_t errlen)
{
    router_addrs(g_gate.iface, &g_ra);
    for (const char *s : SEED) {
        MwPrefix p;
        if (parse_prefix(s, &p, err, errlen) != 0) return -1;
        int i = covered(p, g_ra);
        if (i >= 0) {
            char w[160];
            why(p, g_ra, i, w, sizeof w);
            reply_item(r, "skipped %s", w);
        } else if (gate_block(p, err, errlen) != 0) {
            return -1;
        }
    }
    return 0;
}

static void conflict(const MwPrefix &p, void *r)
{
    int i = covered(p, g_ra);
    if (i < 0) return;
    char w[160];
    why(p, g_ra, i, w, sizeof w);
    reply_item(static_cast<Reply *>(r), "conflict %s", w);
}

void guard_conflicts(Reply *r)
{
    router_addrs(g_gate.iface, &g_ra);
    if (g_ra.n > 0) gate_each_prefix(conflict, r);
}

// The program reads Ethernet frames: on loopback, a tunnel or WireGuard it
// would take every packet for malformed and drop it.
int guard_move(const char *ifname, char *err, size_t errlen)
{
    UniqueFd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq ifr = {};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    if (!s.ok() || ioctl(s.fd, SIOCGIFHWADDR, &ifr) != 0) {
        snprintf(err, errlen, "no such interface: %s", ifname);
        return -1;
    }
    if (ifr.ifr_hwaddr.sa_family == ARPHRD_LOOPBACK) {
        snprintf(err, errlen, "refused %s: loopback", ifname);
        return -1;
    }
    if (ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        snprintf(err, errlen, "refused %s: not an Ethernet device", ifname);
        return -1;
    }
    return 0;
}
