#include "moatwalld/router_addrs.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <initializer_list>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/unique_fd.hpp"

// Interfaces whose traffic crosses the gated NIC: itself, its bridge or bond,
// its VLANs (and macvlans, ipvlans).
#define MW_GATED_IFS_MAX 8
struct GatedIf {
    unsigned index;
    char name[IF_NAMESIZE];
};
static GatedIf g_ifs[MW_GATED_IFS_MAX];
static int g_nifs;
static const char *g_ifname;  // the one addresses are being collected for

static void add(RouterAddrs *out, int family, bool hop, const void *addr)
{
    size_t n = family == AF_INET ? 4 : 16;
    for (int i = 0; i < out->n; i++)
        if (out->a[i].family == family && memcmp(out->a[i].addr, addr, n) == 0) return;
    if (out->n == MW_ROUTER_ADDRS_MAX) return;
    RouterAddr &r = out->a[out->n++];
    r = {family, hop, {}, {}};
    memcpy(r.addr, addr, n);
    snprintf(r.ifname, sizeof r.ifname, "%s", g_ifname);
}

static void add_sockaddr(RouterAddrs *out, bool hop, const sockaddr *sa)
{
    if (sa && sa->sa_family == AF_INET)
        add(out, AF_INET, hop, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr);
    else if (sa && sa->sa_family == AF_INET6)
        add(out, AF_INET6, hop, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr);
}

static void own_addresses(const char *ifname, RouterAddrs *out)
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) return;
    for (ifaddrs *i = all; i; i = i->ifa_next) {
        if (strcmp(i->ifa_name, ifname) != 0) continue;
        add_sockaddr(out, false, i->ifa_addr);
        if (i->ifa_flags & IFF_POINTOPOINT) add_sockaddr(out, true, i->ifa_dstaddr);
    }
    freeifaddrs(all);
}

// A gateway attribute: RTA_GATEWAY in the route's family, or RTA_VIA with its own.
static void add_gateway(RouterAddrs *out, int family, const rtattr *a)
{
    size_t len = RTA_PAYLOAD(a);
    if (a->rta_type == RTA_GATEWAY && len == (family == AF_INET ? 4u : 16u)) add(out, family, true, RTA_DATA(a));
    if (a->rta_type == RTA_VIA && len >= sizeof(rtvia)) {
        const rtvia *v = static_cast<const rtvia *>(RTA_DATA(a));
        if (len - sizeof(rtvia) == (v->rtvia_family == AF_INET ? 4u : 16u)) add(out, v->rtvia_family, true, v->rtvia_addr);
    }
}

static void route_hops(const nlmsghdr *h, unsigned ifindex, RouterAddrs *out)
{
    const rtmsg *rt = static_cast<const rtmsg *>(NLMSG_DATA(h));
    int len = static_cast<int>(RTM_PAYLOAD(h));
    unsigned oif = 0;
    const rtattr *gw[2] = {};
    for (const rtattr *a = RTM_RTA(rt); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4) memcpy(&oif, RTA_DATA(a), 4);
        if (a->rta_type == RTA_GATEWAY) gw[0] = a;
        if (a->rta_type == RTA_VIA) gw[1] = a;
        if (a->rta_type != RTA_MULTIPATH) continue;
        int left = static_cast<int>(RTA_PAYLOAD(a));
        for (const rtnexthop *nh = static_cast<const rtnexthop *>(RTA_DATA(a));
             left >= static_cast<int>(sizeof *nh) && nh->rtnh_len >= sizeof *nh && nh->rtnh_len <= left;
             left -= NLMSG_ALIGN(nh->rtnh_len), nh = RTNH_NEXT(nh)) {
            if (static_cast<unsigned>(nh->rtnh_ifindex) != ifindex) continue;
            int nl = nh->rtnh_len - static_cast<int>(sizeof *nh);
            for (const rtattr *b = RTNH_DATA(nh); RTA_OK(b, nl); b = RTA_NEXT(b, nl)) add_gateway(out, rt->rtm_family, b);
        }
    }
    for (const rtattr *a : gw)
        if (a && oif == ifindex) add_gateway(out, rt->rtm_family, a);
}

// Sends one dump request and calls fn on every message of type want.
template <class Req, class Fn> static void dump(Req &req, uint16_t want, Fn fn)
{
    UniqueFd s(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!s.ok()) return;
    int one = 1;
    setsockopt(s.fd, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &one, sizeof one);
    timeval tv = {0, 300000};  // the console waits for the whole reply
    setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    req.h = {sizeof req, req.h.nlmsg_type, NLM_F_REQUEST | NLM_F_DUMP, 1, 0};
    if (send(s.fd, &req, sizeof req, 0) != static_cast<ssize_t>(sizeof req)) return;
    alignas(nlmsghdr) static char buf[32768];
    for (;;) {
        ssize_t n = recv(s.fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        unsigned left = static_cast<unsigned>(n);
        for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) return;
            if (h->nlmsg_type == want) fn(h);
        }
    }
}

// One route dump of a family, filtered in the kernel to routes through
// ifindex, so a full BGP table on another NIC costs little.
static void next_hops(int family, unsigned ifindex, RouterAddrs *out)
{
    struct {
        nlmsghdr h;
        rtmsg r;
        rtattr a;
        uint32_t oif;
    } req = {};
    req.h.nlmsg_type = RTM_GETROUTE;
    req.r.rtm_family = static_cast<unsigned char>(family);
    req.a = {RTA_LENGTH(4), RTA_OIF};
    req.oif = ifindex;
    dump(req, RTM_NEWROUTE, [&](const nlmsghdr *h) {
        if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg))) route_hops(h, ifindex, out);
    });
}

static void add_if(unsigned index, const char *name)
{
    for (int i = 0; i < g_nifs; i++)
        if (g_ifs[i].index == index) return;
    if (g_nifs == MW_GATED_IFS_MAX || !name) return;
    g_ifs[g_nifs].index = index;
    snprintf(g_ifs[g_nifs++].name, IF_NAMESIZE, "%s", name);
}

// The NIC, its master, and the VLAN-like devices stacked on it in this
// namespace (a veth's link names its peer, which is no such device).
static void gated_ifs(unsigned nic, const char *name)
{
    g_nifs = 0;
    add_if(nic, name);
    struct {
        nlmsghdr h;
        ifinfomsg i;
    } req = {};
    req.h.nlmsg_type = RTM_GETLINK;
    dump(req, RTM_NEWLINK, [&](const nlmsghdr *h) {
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
        const ifinfomsg *ifi = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
        int len = static_cast<int>(IFLA_PAYLOAD(h));
        unsigned link = 0, master = 0;
        const char *ifname = nullptr;
        bool stacked = false, other_ns = false;
        for (const rtattr *a = IFLA_RTA(ifi); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
            if (a->rta_type == IFLA_IFNAME && memchr(RTA_DATA(a), 0, RTA_PAYLOAD(a))) ifname = static_cast<const char *>(RTA_DATA(a));
            if (a->rta_type == IFLA_LINK && RTA_PAYLOAD(a) >= 4) memcpy(&link, RTA_DATA(a), 4);
            if (a->rta_type == IFLA_MASTER && RTA_PAYLOAD(a) >= 4) memcpy(&master, RTA_DATA(a), 4);
            if (a->rta_type == IFLA_LINK_NETNSID) other_ns = true;
            if (a->rta_type != IFLA_LINKINFO) continue;
            int il = static_cast<int>(RTA_PAYLOAD(a));
            for (const rtattr *b = static_cast<const rtattr *>(RTA_DATA(a)); RTA_OK(b, il); b = RTA_NEXT(b, il))
                if (b->rta_type == IFLA_INFO_KIND)
                    for (const char *k : {"vlan", "macvlan", "ipvlan"})
                        stacked |= RTA_PAYLOAD(b) == strlen(k) + 1 && memcmp(RTA_DATA(b), k, RTA_PAYLOAD(b)) == 0;
        }
        if (static_cast<unsigned>(ifi->ifi_index) == nic && master) {
            char m[IF_NAMESIZE];
            add_if(master, if_indextoname(master, m));
        }
        if (link == nic && stacked && !other_ns) add_if(static_cast<unsigned>(ifi->ifi_index), ifname);
    });
}

void router_addrs(const char *ifname, RouterAddrs *out)
{
    out->n = 0;
    unsigned ifindex = if_nametoindex(ifname);
    if (ifindex == 0) return;
    gated_ifs(ifindex, ifname);
    for (int i = 0; i < g_nifs; i++) {
        g_ifname = g_ifs[i].name;
        own_addresses(g_ifs[i].name, out);
        next_hops(AF_INET, g_ifs[i].index, out);
        next_hops(AF_INET6, g_ifs[i].index, out);
    }
}
