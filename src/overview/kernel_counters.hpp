// The kernel-wide counters page 1 shows and the export writes: one row each,
// with the key its history is recorded under, where it is read, and its series.
#pragma once

struct KernelCounter {
    const char *label;   // page 1's text before the value
    const char *key;     // counter key
    const char *name;    // name in the statistics table; nullptr: read elsewhere
    const char *metric;  // the export's series
    const char *help;
};

inline constexpr KernelCounter UDP_COUNTERS[] = {
    {"  UdpRcvbufErrors (WG socket overrun?): ", "UdpRcvbufErrors", "UdpRcvbufErrors",
     "tarnwatch_udp_rcvbuf_errors_total", "UDP datagrams dropped for a full receive buffer."},
    {"  UdpSndbufErrors                     : ", "UdpSndbufErrors", "UdpSndbufErrors",
     "tarnwatch_udp_sndbuf_errors_total", "UDP datagrams dropped for a full send buffer."},
    {"  UdpInErrors                         : ", "UdpInErrors", "UdpInErrors", "tarnwatch_udp_in_errors_total",
     "UDP datagrams received with errors."},
};

// The kernel keeps InNoRoutes under IpExt; the key stays "Ip..." like its neighbours.
inline constexpr KernelCounter IP_COUNTERS[] = {
    {"  InNoRoutes        : ", "IpInNoRoutes", "IpExtInNoRoutes", "tarnwatch_ip_in_no_routes_total",
     "IPv4 packets dropped for want of a route (IpExt)."},
    {"  InDiscards        : ", "IpInDiscards", "IpInDiscards", "tarnwatch_ip_in_discards_total",
     "IPv4 input packets discarded."},
    {"  OutDiscards       : ", "IpOutDiscards", "IpOutDiscards", "tarnwatch_ip_out_discards_total",
     "IPv4 output packets discarded."},
    {"  OutNoRoutes       : ", "IpOutNoRoutes", "IpOutNoRoutes", "tarnwatch_ip_out_no_routes_total",
     "IPv4 output packets without a route."},
    {"  FragFails (DF set): ", "IpFragFails", "IpFragFails", "tarnwatch_ip_frag_fails_total",
     "IPv4 packets not fragmented (DF set)."},
    {"  ReasmFails        : ", "IpReasmFails", "IpReasmFails", "tarnwatch_ip_reasm_fails_total",
     "IPv4 reassembly failures."},
    {"  ICMP DestUnreach out (incl frag-needed): ", "IcmpOutDestUnreachs", "IcmpOutDestUnreachs",
     "tarnwatch_icmp_out_dest_unreachs_total", "ICMP destination unreachable sent."},
    {"  Ip6 InDiscards    : ", "Ip6InDiscards", "Ip6InDiscards", "tarnwatch_ip6_in_discards_total",
     "IPv6 input packets discarded."},
    {"  Ip6 OutNoRoutes   : ", "Ip6OutNoRoutes", "Ip6OutNoRoutes", "tarnwatch_ip6_out_no_routes_total",
     "IPv6 output packets without a route."},
    {"  Icmp6 PktTooBig out: ", "Icmp6OutPktTooBigs", "Icmp6OutPktTooBigs", "tarnwatch_icmp6_out_pkt_too_bigs_total",
     "ICMPv6 Packet Too Big sent."},
    {"  IPReversePathFilter: ", "TcpExtIPReversePathFilter", "TcpExtIPReversePathFilter",
     "tarnwatch_ip_reverse_path_filter_total", "Packets dropped by the reverse path filter."},
};

// From /proc/net/softnet_stat, summed over the CPUs.
inline constexpr KernelCounter SOFTNET_COUNTERS[] = {
    {"  Drops        : ", "softnet_drops", nullptr, "tarnwatch_softnet_dropped_total",
     "Packets dropped by the kernel ingress backlog."},
    {"  Time squeeze : ", "softnet_squeeze", nullptr, "tarnwatch_softnet_times_squeezed_total",
     "NAPI polls that ran out of budget."},
};
