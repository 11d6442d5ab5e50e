// One sample of each watched interface: sysfs statistics, link fields, qdisc, rates.
#pragma once
#include <cstdint>

struct IfSnap {
    uint64_t rx_bytes, tx_bytes, rx_packets, tx_packets;
    uint64_t rx_errors, tx_errors, rx_dropped, tx_dropped;
    uint64_t rx_missed_errors, rx_fifo_errors, rx_over_errors, rx_crc_errors, rx_frame_errors;
    uint64_t tx_fifo_errors, tx_carrier_errors, collisions;
    uint64_t multicast;        // /sys/class/net/<if>/statistics/multicast
    uint64_t carrier_changes;  // /sys/class/net/<if>/carrier_changes
    uint64_t qdisc_drops;      // drops of the root qdiscs (egress, ingress/clsact) in `tc -s qdisc show`
    uint64_t flags;            // /sys/class/net/<if>/flags (hex)
    int32_t is_wg;
    char operstate[16];        // /sys/class/net/<if>/operstate
    char qdisc[64];            // first kind, or first two kinds joined by '/'
    int64_t speed;             // /sys/class/net/<if>/speed, Mb/s; -1 unreadable
    uint64_t mtu;              // /sys/class/net/<if>/mtu; 0 unreadable
    double rx_bps, tx_bps, rx_pps, tx_pps;
};

// Bits of the interface flag word that the link state reads.
constexpr uint64_t IFF_UP_BIT = 0x1;
constexpr uint64_t IFF_RUNNING_BIT = 0x40;
constexpr uint64_t IFF_LOWER_UP_BIT = 0x10000;

constexpr int MAX_SNAPS = 32;
extern IfSnap g_snap[MAX_SNAPS];

// Fills g_snap[0..n-1] for the interfaces names[0..n-1], their qdisc fields from
// one `tc` run; dt is the seconds since the previous sample.
void ifsnap_take_all(const char (*names)[16], int32_t n, double dt);
// The same for one interface into g_snap[index].
void ifsnap_take(uint32_t index, const char *name, double dt);
// Closes the sysfs directories kept per slot; rediscovery calls it, and the
// next snapshot of each slot opens them again.
void ifsnap_forget_dirs();
