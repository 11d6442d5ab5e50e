// XDP early-drop gate: drops IPv4 and IPv6 by source prefix and TCP/UDP by
// destination port, counts every packet into exactly one statistic.
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/ipv6.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "moatwall/moatwall_contract.h"

struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(max_entries, MW_DROP4_MAX);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, struct mw_drop4_key);
    __type(value, __u8);
    __uint(pinning, LIBBPF_PIN_BY_NAME);
} moatwall_drop4 SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(max_entries, MW_DROP6_MAX);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, struct mw_drop6_key);
    __type(value, __u8);
    __uint(pinning, LIBBPF_PIN_BY_NAME);
} moatwall_drop6 SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, MW_DPORTS_MAX);
    __type(key, __u16);
    __type(value, __u8);
    __uint(pinning, LIBBPF_PIN_BY_NAME);
} moatwall_dports SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, MW_STAT_COUNT);
    __type(key, __u32);
    __type(value, __u64);
    __uint(pinning, LIBBPF_PIN_BY_NAME);
} moatwall_stats SEC(".maps");

#define ETH_P_8021Q_ 0x8100
#define ETH_P_8021AD_ 0x88A8
#define IP_OFFMASK_ 0x1FFF
#define IP6_OFFMASK_ 0xFFF8
#define NH_HOPOPTS 0
#define NH_ROUTING 43
#define NH_FRAGMENT 44
#define NH_DSTOPTS 60
// Extension headers walked before the transport header. Real traffic carries
// one or two; a longer chain cannot be checked, so it is dropped as malformed.
#define IP6_EXT_MAX 6

struct vlan_tag {
    __be16 tci;
    __be16 proto;
};

static __always_inline int verdict(__u32 key, int action)
{
    __u64 *n = bpf_map_lookup_elem(&moatwall_stats, &key);
    if (n) *n += 1;
    return action;
}

// The TCP/UDP header at offset l4 of the frame, with room bytes of the
// datagram left for it: a header cut short hides its ports, so it is malformed.
static __always_inline int port_verdict(struct xdp_md *ctx, __u32 l4, __u32 room, __u8 proto)
{
    __u32 l4min = proto == IPPROTO_TCP ? 20 : 8;
    if (l4min > room) return verdict(MW_STAT_MALFORMED, XDP_DROP);
    __be16 ports[2];
    if (bpf_xdp_load_bytes(ctx, l4, ports, sizeof ports) != 0) return verdict(MW_STAT_MALFORMED, XDP_DROP);
    __u16 dport = bpf_ntohs(ports[1]);
    if (bpf_map_lookup_elem(&moatwall_dports, &dport)) return verdict(MW_STAT_DROPPORT, XDP_DROP);
    return verdict(MW_STAT_PASS, XDP_PASS);
}

static __always_inline int gate_ipv4(struct xdp_md *ctx, struct iphdr *ip, void *end, __u32 l2)
{
    if ((void *)(ip + 1) > end) return verdict(MW_STAT_MALFORMED, XDP_DROP);
    __u32 ihl = ip->ihl * 4u;
    __u32 tot = bpf_ntohs(ip->tot_len);
    // A header the gate cannot read whole cannot be checked, so it does not
    // get past the gate: the kernel would discard it anyway.
    if (ip->version != 4 || ihl < sizeof(*ip) || tot < ihl || tot > bpf_xdp_get_buff_len(ctx) - l2)
        return verdict(MW_STAT_MALFORMED, XDP_DROP);

    struct mw_drop4_key k = {.prefixlen = 32};
    __builtin_memcpy(k.addr, &ip->saddr, 4);
    if (bpf_map_lookup_elem(&moatwall_drop4, &k)) return verdict(MW_STAT_DROPSRC, XDP_DROP);

    // Later fragments carry no ports; a first fragment must carry the whole
    // transport header, or ports could hide in the second one.
    if ((bpf_ntohs(ip->frag_off) & IP_OFFMASK_) || (ip->protocol != IPPROTO_TCP && ip->protocol != IPPROTO_UDP))
        return verdict(MW_STAT_PASS, XDP_PASS);
    return port_verdict(ctx, l2 + ihl, tot - ihl, ip->protocol);
}

static __always_inline int gate_ipv6(struct xdp_md *ctx, struct ipv6hdr *ip6, void *end, __u32 l2)
{
    if ((void *)(ip6 + 1) > end) return verdict(MW_STAT_MALFORMED, XDP_DROP);
    __u32 plen = bpf_ntohs(ip6->payload_len);
    // The fixed header is in the frame, so buff_len - l2 - 40 cannot wrap.
    if (ip6->version != 6 || plen > bpf_xdp_get_buff_len(ctx) - l2 - sizeof(*ip6))
        return verdict(MW_STAT_MALFORMED, XDP_DROP);

    struct mw_drop6_key k = {.prefixlen = 128};
    __builtin_memcpy(k.addr, &ip6->saddr, 16);
    if (bpf_map_lookup_elem(&moatwall_drop6, &k)) return verdict(MW_STAT_DROPSRC, XDP_DROP);

    __u8 nh = ip6->nexthdr;
    __u32 off = 0;  // into the payload; a scalar, as in the VLAN walk
#pragma unroll
    for (int i = 0; i < IP6_EXT_MAX; i++) {
        if (nh != NH_HOPOPTS && nh != NH_ROUTING && nh != NH_DSTOPTS && nh != NH_FRAGMENT) break;
        __u8 h[4];  // next header, length, and a fragment header's offset field
        if (off + 8 > plen || bpf_xdp_load_bytes(ctx, l2 + sizeof(*ip6) + off, h, sizeof h) != 0)
            return verdict(MW_STAT_MALFORMED, XDP_DROP);
        if (nh == NH_FRAGMENT) {
            // Only the first fragment carries the ports (and must carry all of them).
            if (((h[2] << 8 | h[3]) & IP6_OFFMASK_) != 0) return verdict(MW_STAT_PASS, XDP_PASS);
            off += 8;
        } else {
            off += (h[1] + 1u) * 8;
        }
        nh = h[0];
    }
    if (nh == NH_HOPOPTS || nh == NH_ROUTING || nh == NH_DSTOPTS || nh == NH_FRAGMENT || off > plen)
        return verdict(MW_STAT_MALFORMED, XDP_DROP);
    if (nh != IPPROTO_TCP && nh != IPPROTO_UDP) return verdict(MW_STAT_PASS, XDP_PASS);
    return port_verdict(ctx, l2 + sizeof(*ip6) + off, plen - off, nh);
}

SEC("xdp")
int moatwall_xdp(struct xdp_md *ctx)
{
    void *data = (void *)(long)ctx->data;
    void *end = (void *)(long)ctx->data_end;

    struct ethhdr *eth = data;
    if ((void *)(eth + 1) > end) return verdict(MW_STAT_MALFORMED, XDP_DROP);
    __u16 proto = eth->h_proto;
    void *p = eth + 1;
    __u32 l2 = sizeof(*eth); // offsets stay scalars: variable packet-pointer
                             // arithmetic would need CAP_PERFMON to load

    // An outer 802.1ad and an inner 802.1Q tag at most (QinQ).
#pragma unroll
    for (int i = 0; i < 2; i++) {
        if (proto != bpf_htons(ETH_P_8021Q_) && proto != bpf_htons(ETH_P_8021AD_)) break;
        struct vlan_tag *v = p;
        if ((void *)(v + 1) > end) return verdict(MW_STAT_MALFORMED, XDP_DROP);
        proto = v->proto;
        p = v + 1;
        l2 += sizeof(*v);
    }
    if (proto == bpf_htons(ETH_P_IP)) return gate_ipv4(ctx, p, end, l2);
    if (proto == bpf_htons(ETH_P_IPV6)) return gate_ipv6(ctx, p, end, l2);
    return verdict(MW_STAT_NONIP, XDP_PASS);
}

char LICENSE[] SEC("license") = "GPL";
