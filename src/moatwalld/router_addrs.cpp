#include "moatwalld/router_addrs.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/unique_fd.hpp"

static void add(RouterAddrs *out, int family, bool hop, const void *addr)
{
    size_t n = family == AF_INET ? 4 : 16;
    for (int i = 0; i < out->n; i++)
        if (out->a[i].family == family && memcmp(out->a[i].addr, addr, n) == 0) return;
    if (out->n == MW_ROUTER_ADDRS_MAX) return;
    RouterAddr &r = out->a[out->n++];
    r = {family, hop, {}};
    memcpy(r.addr, addr, n);
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

// One route dump of a family, filtered in the kernel to routes through
// ifindex, so a full BGP table on another NIC costs little.
static void next_hops(int family, unsigned ifindex, RouterAddrs *out)
{
    UniqueFd s(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!s.ok()) return;
    int one = 1;
    setsockopt(s.fd, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &one, sizeof one);
    timeval tv = {0, 300000};  // the console waits for the whole reply
    setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    struct {
        nlmsghdr h;
        rtmsg r;
        rtattr a;
        uint32_t oif;
    } req = {};
    req.h = {sizeof req, RTM_GETROUTE, NLM_F_REQUEST | NLM_F_DUMP, 1, 0};
    req.r.rtm_family = static_cast<unsigned char>(family);
    req.a = {RTA_LENGTH(4), RTA_OIF};
    req.oif = ifindex;
    if (send(s.fd, &req, sizeof req, 0) != static_cast<ssize_t>(sizeof req)) return;
    alignas(nlmsghdr) static char buf[32768];
    for (;;) {
        ssize_t n = recv(s.fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        unsigned left = static_cast<unsigned>(n);
        for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) return;
            if (h->nlmsg_type == RTM_NEWROUTE && h->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg))) route_hops(h, ifindex, out);
        }
    }
}

void router_addrs(const char *ifname, RouterAddrs *out)
{
    snprintf(out->ifname, sizeof out->ifname, "%s", ifname);
    out->n = 0;
    unsigned ifindex = if_nametoindex(ifname);
    if (ifindex == 0) return;
    own_addresses(ifname, out);
    next_hops(AF_INET, ifindex, out);
    next_hops(AF_INET6, ifindex, out);
}
