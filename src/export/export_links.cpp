// Page 2's figures: every watched interface's statistics and link, and the
// watched driver statistics of the WAN and LAN NICs.
#include <cmath>

#include "counters/counters.hpp"
#include "export/export_areas.hpp"
#include "export/prom_text.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "ifdetail/ethtool.hpp"
#include "ifdetail/ifsnap.hpp"
#include "topology/ifaces.hpp"
#include "topology/link_state.hpp"

namespace {

struct IfStat {
    const char *metric;
    uint64_t IfSnap::*field;
    const char *help;
};
constexpr IfStat IF_STATS[] = {
    {"tarnwatch_interface_rx_bytes_total", &IfSnap::rx_bytes, "Bytes received."},
    {"tarnwatch_interface_tx_bytes_total", &IfSnap::tx_bytes, "Bytes sent."},
    {"tarnwatch_interface_rx_packets_total", &IfSnap::rx_packets, "Packets received."},
    {"tarnwatch_interface_tx_packets_total", &IfSnap::tx_packets, "Packets sent."},
    {"tarnwatch_interface_rx_errors_total", &IfSnap::rx_errors, "Receive errors."},
    {"tarnwatch_interface_tx_errors_total", &IfSnap::tx_errors, "Transmit errors."},
    // node_network_receive_drop_total adds rx_missed_errors; this one is rx_dropped alone.
    {"tarnwatch_interface_rx_dropped_excluding_missed_total", &IfSnap::rx_dropped,
     "Received packets dropped (rx_dropped), without those the NIC missed."},
    {"tarnwatch_interface_tx_dropped_total", &IfSnap::tx_dropped, "Packets dropped on transmit."},
    {"tarnwatch_interface_rx_missed_errors_total", &IfSnap::rx_missed_errors, "Packets the NIC missed."},
    {"tarnwatch_interface_rx_fifo_errors_total", &IfSnap::rx_fifo_errors, "Receive FIFO overruns."},
    {"tarnwatch_interface_rx_over_errors_total", &IfSnap::rx_over_errors, "Receive ring overruns."},
    {"tarnwatch_interface_rx_crc_errors_total", &IfSnap::rx_crc_errors, "Frames received with a bad CRC."},
    {"tarnwatch_interface_rx_frame_errors_total", &IfSnap::rx_frame_errors, "Frame alignment errors."},
    {"tarnwatch_interface_tx_fifo_errors_total", &IfSnap::tx_fifo_errors, "Transmit FIFO underruns."},
    {"tarnwatch_interface_tx_carrier_errors_total", &IfSnap::tx_carrier_errors, "Transmit carrier errors."},
    {"tarnwatch_interface_collisions_total", &IfSnap::collisions, "Collisions."},
    {"tarnwatch_interface_multicast_total", &IfSnap::multicast, "Multicast packets received."},
    {"tarnwatch_interface_carrier_changes_total", &IfSnap::carrier_changes, "Carrier up and down changes."},
};

// Rates are left to rate() over the counters: a once-mode sample has none.
struct IfGauge {
    const char *metric;
    const char *help;
    double (*value)(const IfSnap &);  // NaN: no sample for this interface
};
constexpr IfGauge IF_GAUGES[] = {
    // Not "up": node_network_up is the operational state, which running is here.
    {"tarnwatch_interface_admin_up", "1 when the interface is administratively up.",
     [](const IfSnap &s) { return (s.flags & IFF_UP_BIT) ? 1.0 : 0.0; }},
    {"tarnwatch_interface_running",
     "1 when the link is operational: operstate up, or up with a carrier where the link reports no state.",
     [](const IfSnap &s) { return link_running(&s) ? 1.0 : 0.0; }},
    // The kernel gives Mb/s; one Mb/s is 125000 bytes per second.
    {"tarnwatch_interface_speed_bytes", "Link speed in bytes per second, when known.",
     [](const IfSnap &s) { return s.speed > 0 ? static_cast<double>(s.speed) * 125000.0 : NAN; }},
    {"tarnwatch_interface_mtu_bytes", "MTU.", [](const IfSnap &s) { return static_cast<double>(s.mtu); }},
};

// Interfaces are labelled "device", as node_exporter labels them, so the two join.
void device_label(const char *name)
{
    tf_labels_begin();
    tf_label("device", name);
}

int32_t watched() { return g_n_ifaces < MAX_SNAPS ? g_n_ifaces : MAX_SNAPS; }

void qdisc_series(StrBuf *o)
{
    tf_family(o, "tarnwatch_interface_qdisc_drops_total", "counter",
              "Packets the interface's queueing disciplines dropped, as page 2 shows them.");
    for (int32_t i = 0; i < watched(); i++) {
        device_label(g_ifaces[i]);
        tf_value_u(g_snap[i].qdisc_drops);
    }
    // The kind in a series of its own: a new qdisc must not start a new drop series.
    tf_family(o, "tarnwatch_interface_qdisc_info", "gauge", "The root qdisc's kind (and its child's), in the label qdisc.");
    for (int32_t i = 0; i < watched(); i++) {
        if (!g_snap[i].qdisc[0]) continue;
        device_label(g_ifaces[i]);
        tf_label("qdisc", g_snap[i].qdisc);
        tf_value_u(1);
    }
}

}  // namespace

void tf_export_interfaces(StrBuf *o)
{
    for (const IfStat &st : IF_STATS) {
        tf_family(o, st.metric, "counter", st.help);
        for (int32_t i = 0; i < watched(); i++) {
            device_label(g_ifaces[i]);
            tf_value_u(g_snap[i].*st.field);
        }
    }
    qdisc_series(o);
    for (const IfGauge &g : IF_GAUGES) {
        tf_family(o, g.metric, "gauge", g.help);
        for (int32_t i = 0; i < watched(); i++) {
            double v = g.value(g_snap[i]);
            if (std::isnan(v)) continue;
            device_label(g_ifaces[i]);
            tf_value_d(v);
        }
    }
    tf_single_u(o, "tarnwatch_interfaces_left_out", "gauge",
                "Interfaces that qualify for watching but do not fit the table, so no page or series has them.",
                static_cast<uint64_t>(g_ifaces_left_out > 0 ? g_ifaces_left_out : 0));
}

void tf_export_driver_stats(StrBuf *o, const EthDev *nics, int32_t n_nics)
{
    tf_family(o, "tarnwatch_nic_driver_stat_total", "counter",
              "Driver statistics of the WAN and LAN NICs that are watched for drops and errors.");
    for (int32_t k = 0; k < n_nics && k < MAX_NICS; k++) {
        const EthDev *d = &nics[k];
        if (d->recount || !d->stat_names) continue;
        for (int32_t w = 0; w < d->n_watch && w < static_cast<int32_t>(ETH_MAX_STATS); w++) {
            uint32_t idx = d->watch_idx[w];
            if (idx >= d->n_stats) continue;
            char stat[ETH_GSTRING_LEN_BYTES + 1], key[192];
            eth_name_at(d->stat_names, idx, stat);
            eth_stat_key(key, sizeof key, d->name, stat);
            const Counter *c = tf_counter(key);
            if (!c) continue;
            device_label(d->name);
            tf_label("driver", d->driver);
            tf_label("stat", stat);
            tf_value_u(c->cur);
        }
    }
}
