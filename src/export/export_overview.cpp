// Page 1's figures: the kernel's protocol counters, conntrack, WireGuard
// devices and peers, and the OSPF neighbours.
#include <cstring>

#include "counters/counters.hpp"
#include "export/export_areas.hpp"
#include "export/prom_text.hpp"
#include "export/tf_notes.hpp"
#include "overview/conntrack.hpp"
#include "overview/kernel_counters.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

namespace {

void kernel_rows(StrBuf *o, const KernelCounter *rows, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        const Counter *c = tf_counter(rows[i].key);
        if (c) tf_single_u(o, rows[i].metric, "counter", rows[i].help, c->cur);
    }
}

// One series per WireGuard device that has a health record.
void wg_device_family(StrBuf *o, const char *name, const char *help, int32_t WgHealth::*field)
{
    tf_family(o, name, "gauge", help);
    for (int32_t d = 0; d < g_n_wgdevs; d++)
        for (int32_t h = 0; h < g_n_wg_health; h++) {
            if (std::strcmp(g_wg_health[h].name, g_wgdevs[d]) != 0) continue;
            tf_labels_begin();
            tf_label("device", g_wgdevs[d]);
            tf_value_i(g_wg_health[h].*field);
        }
}

struct PeerFamily {
    const char *name, *type, *help;
    void (*value)(const TfPeer &);
};
constexpr PeerFamily PEER_FAMILIES[] = {
    {"tarnwatch_wireguard_peer_last_handshake_timestamp_seconds", "gauge",
     "When the latest handshake was, in seconds since the epoch; 0 when there was none.",
     [](const TfPeer &p) { tf_value_i(p.handshake); }},
    {"tarnwatch_wireguard_peer_rx_bytes_total", "counter", "Bytes received from the peer.",
     [](const TfPeer &p) { tf_value_u(p.rx); }},
    {"tarnwatch_wireguard_peer_tx_bytes_total", "counter", "Bytes sent to the peer.",
     [](const TfPeer &p) { tf_value_u(p.tx); }},
};

}  // namespace

void tf_export_kernel(StrBuf *o)
{
    kernel_rows(o, UDP_COUNTERS, std::size(UDP_COUNTERS));
    kernel_rows(o, IP_COUNTERS, std::size(IP_COUNTERS));
    kernel_rows(o, SOFTNET_COUNTERS, std::size(SOFTNET_COUNTERS));
    tf_single_u(o, "tarnwatch_conntrack_entries", "gauge", "Connection tracking entries.", g_conntrack.count);
    tf_single_u(o, "tarnwatch_conntrack_entries_limit", "gauge", "Connection tracking table size (1 when unreadable).",
                g_conntrack.max);
}

void tf_export_wireguard(StrBuf *o)
{
    wg_device_family(o, "tarnwatch_wireguard_peers", "Peers of the WireGuard device.", &WgHealth::peers);
    wg_device_family(o, "tarnwatch_wireguard_fresh_peers", "Peers with a handshake at most 150 seconds old.",
                     &WgHealth::fresh);
    for (const PeerFamily &f : PEER_FAMILIES) {
        tf_family(o, f.name, f.type, f.help);
        for (int32_t i = 0; i < g_tf_npeers; i++) {
            const TfPeer &p = g_tf_peers[i];
            tf_labels_begin();
            tf_label("device", p.dev);
            tf_label("public_key", p.key);
            tf_label("name", p.name);
            f.value(p);
        }
    }
}

void tf_export_ospf(StrBuf *o)
{
    if (g_tf_ospf < 0) return;  // no client: page 1 has no OSPF section either
    tf_single_u(o, "tarnwatch_ospf_neighbor_table_readable", "gauge",
                "1 when birdc gave a neighbour table, so the MISSING check ran.", g_tf_ospf == 1 ? 1 : 0);
    tf_family(o, "tarnwatch_ospf_neighbor_full", "gauge", "1 when the adjacency with the neighbour is Full.");
    for (int32_t i = 0; i < g_tf_nnb; i++) {
        tf_labels_begin();
        tf_label("router_id", g_tf_nb[i].router_id);
        tf_label("address", g_tf_nb[i].address);
        tf_value_u(g_tf_nb[i].full ? 1 : 0);
    }
    if (g_tf_ospf != 1) return;
    tf_family(o, "tarnwatch_ospf_expected_neighbor_missing", "gauge",
              "1 when a neighbour the BIRD configuration expects has no adjacency.");
    for (int32_t i = 0; i < g_n_ospf_exp && i < MAX_OSPF_EXP; i++) {
        tf_labels_begin();
        tf_label("address", g_ospf_exp[i].address);
        tf_label("name", g_ospf_exp[i].label);
        tf_value_u(g_tf_exp_seen[i] ? 0 : 1);
    }
}
