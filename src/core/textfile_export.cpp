#include "core/textfile_export.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "burst/burst_state.hpp"
#include "core/alerts.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/vis_text.hpp"
#include "counters/counters.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "ifdetail/ethtool.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/birdc_neighbors.hpp"
#include "overview/conntrack.hpp"
#include "topology/ifaces.hpp"
#include "topology/link_state.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

#ifndef TARNWATCH_VERSION
#define TARNWATCH_VERSION "unknown"
#endif

const char *g_textfile = nullptr;

namespace {

// ---- values noted while the pages are built ----

struct TfPeer {
    char dev[16];
    char key[64];
    int64_t handshake;  // seconds since the epoch, 0 = never
    uint64_t rx, tx;
};
// A hub's peers are all exported, up to this many per sample.
constexpr int TF_MAX_PEERS = 1024;
TfPeer g_tf_peers[TF_MAX_PEERS];
int32_t g_tf_npeers = 0;

struct TfNeighbor {
    char router_id[16];
    char address[48];
    bool full;
};
constexpr int TF_MAX_NEIGHBORS = 256;
TfNeighbor g_tf_nb[TF_MAX_NEIGHBORS];
int32_t g_tf_nnb = 0;
int g_tf_ospf = -1;  // -1 section not run (no client), 0 no table, 1 table read
bool g_tf_exp_seen[MAX_OSPF_EXP];

void copy_cut(char *dst, size_t n, std::string_view v)
{
    size_t k = v.size() < n - 1 ? v.size() : n - 1;
    std::memcpy(dst, v.data(), k);
    dst[k] = '\0';
}

void forget_notes()
{
    g_tf_npeers = 0;
    g_tf_nnb = 0;
    g_tf_ospf = -1;
}

// ---- the exposition writer ----

// One family at a time: its HELP and TYPE lines go out with its first sample, and
// a label set seen before in the family is dropped, since a repeated series
// makes the collector reject the whole file (two driver statistics of one
// name, a neighbour listed twice, names that differ only in bytes shown alike).
struct Family {
    StrBuf *out = nullptr;
    const char *name = "";
    const char *type = "";
    const char *help = "";
    bool header_done = false;
};
Family g_fam;

constexpr size_t SEEN_SLOTS = 8192;  // more than any family's series
uint64_t g_seen_hash[SEEN_SLOTS];
uint32_t g_seen_gen[SEEN_SLOTS];
uint32_t g_gen = 0;
StrBuf g_lbl;

void family(StrBuf *out, const char *name, const char *type, const char *help)
{
    g_fam = Family{out, name, type, help, false};
    if (++g_gen == 0) {  // wrapped: old stamps could match again
        std::memset(g_seen_gen, 0, sizeof g_seen_gen);
        g_gen = 1;
    }
}

uint64_t fnv1a(const char *s, size_t n)
{
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < n; i++) h = (h ^ static_cast<unsigned char>(s[i])) * 1099511628211ULL;
    return h;
}

// Records the label text; false when the family already had it (or is full).
bool first_time(const char *labels, size_t n)
{
    uint64_t h = fnv1a(labels, n);
    for (size_t probe = 0; probe < SEEN_SLOTS; probe++) {
        size_t i = (h + probe) % SEEN_SLOTS;
        if (g_seen_gen[i] != g_gen) {
            g_seen_gen[i] = g_gen;
            g_seen_hash[i] = h;
            return true;
        }
        if (g_seen_hash[i] == h) return false;
    }
    return false;
}

void labels_begin()
{
    if (!g_lbl.buf) sb_init(&g_lbl, 1024);
    sb_clear(&g_lbl);
}

void label(const char *key, const char *value, size_t n = SIZE_MAX)
{
    sb_addf(&g_lbl, "%s%s=\"", g_lbl.len ? "," : "", key);
    tf_label_value(&g_lbl, value, n == SIZE_MAX ? std::strlen(value) : n);
    sb_addf(&g_lbl, "\"");
}

// Starts a sample line: header if due, name and labels; false to skip it.
bool sample_start(bool with_labels)
{
    const char *l = with_labels ? g_lbl.buf : "";
    size_t ln = with_labels ? g_lbl.len : 0;
    if (!first_time(l, ln)) return false;
    if (!g_fam.header_done) {
        sb_addf(g_fam.out, "# HELP %s %s\n# TYPE %s %s\n", g_fam.name, g_fam.help, g_fam.name, g_fam.type);
        g_fam.header_done = true;
    }
    if (ln)
        sb_addf(g_fam.out, "%s{%s} ", g_fam.name, l);
    else
        sb_addf(g_fam.out, "%s ", g_fam.name);
    return true;
}

void value_u(uint64_t v, bool with_labels = true)
{
    if (sample_start(with_labels)) sb_addf(g_fam.out, "%llu\n", static_cast<unsigned long long>(v));
}

void value_i(int64_t v, bool with_labels = true)
{
    if (sample_start(with_labels)) sb_addf(g_fam.out, "%lld\n", static_cast<long long>(v));
}

void value_d(double v, bool with_labels = true)
{
    if (!sample_start(with_labels)) return;
    if (std::isnan(v))
        sb_addf(g_fam.out, "NaN\n");
    else if (std::isinf(v))
        sb_addf(g_fam.out, "%sInf\n", v > 0 ? "+" : "-");
    else
        sb_addf(g_fam.out, "%.15g\n", v);
}

// A family of one unlabelled sample.
void single_u(StrBuf *o, const char *name, const char *type, const char *help, uint64_t v)
{
    family(o, name, type, help);
    value_u(v, false);
}

// Only keys some page recorded: never creates an entry, so the counter table
// and everything the pages show stay as they would be without the export.
const Counter *ctr_find(const char *key)
{
    for (int32_t i = 0; i < g_nctrs; i++)
        if (g_ctrs[i].seen && std::strcmp(g_ctrs[i].name, key) == 0) return &g_ctrs[i];
    return nullptr;
}

// ---- what is exported ----

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
    {"tarnwatch_interface_speed_bytes", "Link speed in bytes per second, when known.",
     [](const IfSnap &s) { return s.speed > 0 ? static_cast<double>(s.speed) * 125000.0 : NAN; }},
    {"tarnwatch_interface_mtu_bytes", "MTU.", [](const IfSnap &s) { return static_cast<double>(s.mtu); }},
};

// The protocol counters of page 1, by the keys page 1 records them under.
struct KernelCounter {
    const char *key;
    const char *metric;
    const char *help;
};
constexpr KernelCounter KERNEL_COUNTERS[] = {
    {"UdpRcvbufErrors", "tarnwatch_udp_rcvbuf_errors_total", "UDP datagrams dropped for a full receive buffer."},
    {"UdpSndbufErrors", "tarnwatch_udp_sndbuf_errors_total", "UDP datagrams dropped for a full send buffer."},
    {"UdpInErrors", "tarnwatch_udp_in_errors_total", "UDP datagrams received with errors."},
    {"IpInNoRoutes", "tarnwatch_ip_in_no_routes_total", "IPv4 packets dropped for want of a route (IpExt)."},
    {"IpInDiscards", "tarnwatch_ip_in_discards_total", "IPv4 input packets discarded."},
    {"IpOutDiscards", "tarnwatch_ip_out_discards_total", "IPv4 output packets discarded."},
    {"IpOutNoRoutes", "tarnwatch_ip_out_no_routes_total", "IPv4 output packets without a route."},
    {"IpFragFails", "tarnwatch_ip_frag_fails_total", "IPv4 packets not fragmented (DF set)."},
    {"IpReasmFails", "tarnwatch_ip_reasm_fails_total", "IPv4 reassembly failures."},
    {"IcmpOutDestUnreachs", "tarnwatch_icmp_out_dest_unreachs_total", "ICMP destination unreachable sent."},
    {"Ip6InDiscards", "tarnwatch_ip6_in_discards_total", "IPv6 input packets discarded."},
    {"Ip6OutNoRoutes", "tarnwatch_ip6_out_no_routes_total", "IPv6 output packets without a route."},
    {"Icmp6OutPktTooBigs", "tarnwatch_icmp6_out_pkt_too_bigs_total", "ICMPv6 Packet Too Big sent."},
    {"TcpExtIPReversePathFilter", "tarnwatch_ip_reverse_path_filter_total",
     "Packets dropped by the reverse path filter."},
    {"softnet_drops", "tarnwatch_softnet_dropped_total", "Packets dropped by the kernel ingress backlog."},
    {"softnet_squeeze", "tarnwatch_softnet_times_squeezed_total", "NAPI polls that ran out of budget."},
};

struct GateCounter {
    const char *key;
    const char *verdict;
};
constexpr GateCounter GATE_COUNTERS[] = {
    {"mw.pass", "passed"},        {"mw.nonip", "passed_nonip"}, {"mw.dropsrc", "dropped_src"},
    {"mw.dropport", "dropped_dport"}, {"mw.malformed", "malformed"},
};

// Interfaces are labelled "device", as node_exporter labels them, so the two join.
void device_label(const char *name)
{
    labels_begin();
    label("device", name);
}

void interfaces(StrBuf *o)
{
    int32_t n = g_n_ifaces < MAX_SNAPS ? g_n_ifaces : MAX_SNAPS;
    for (const IfStat &st : IF_STATS) {
        family(o, st.metric, "counter", st.help);
        for (int32_t i = 0; i < n; i++) {
            device_label(g_ifaces[i]);
            value_u(g_snap[i].*st.field);
        }
    }
    family(o, "tarnwatch_interface_qdisc_drops_total", "counter",
           "Packets the interface's queueing disciplines dropped, as page 2 shows them.");
    for (int32_t i = 0; i < n; i++) {
        device_label(g_ifaces[i]);
        value_u(g_snap[i].qdisc_drops);
    }
    // The kind in a series of its own: a new qdisc must not start a new drop series.
    family(o, "tarnwatch_interface_qdisc_info", "gauge", "The root qdisc's kind (and its child's), in the label qdisc.");
    for (int32_t i = 0; i < n; i++) {
        if (!g_snap[i].qdisc[0]) continue;
        device_label(g_ifaces[i]);
        label("qdisc", g_snap[i].qdisc);
        value_u(1);
    }
    for (const IfGauge &g : IF_GAUGES) {
        family(o, g.metric, "gauge", g.help);
        for (int32_t i = 0; i < n; i++) {
            double v = g.value(g_snap[i]);
            if (std::isnan(v)) continue;
            device_label(g_ifaces[i]);
            value_d(v);
        }
    }
    single_u(o, "tarnwatch_interfaces_left_out", "gauge",
             "Interfaces that qualify for watching but do not fit the table, so no page or series has them.",
             static_cast<uint64_t>(g_ifaces_left_out > 0 ? g_ifaces_left_out : 0));
}

void driver_stats(StrBuf *o, const EthDev *nics, int32_t n_nics)
{
    family(o, "tarnwatch_nic_driver_stat_total", "counter",
           "Driver statistics of the WAN and LAN NICs that are watched for drops and errors.");
    for (int32_t k = 0; k < n_nics && k < MAX_NICS; k++) {
        const EthDev *d = &nics[k];
        if (d->recount || !d->stat_names) continue;
        for (int32_t w = 0; w < d->n_watch && w < static_cast<int32_t>(ETH_MAX_STATS); w++) {
            uint32_t idx = d->watch_idx[w];
            if (idx >= d->n_stats) continue;
            char stat[ETH_GSTRING_LEN_BYTES + 1];
            eth_name_at(d->stat_names, idx, stat);
            char key[192];
            std::snprintf(key, sizeof key, "%.16s/%.100s", d->name, stat);
            const Counter *c = ctr_find(key);
            if (!c) continue;
            device_label(d->name);
            label("driver", d->driver);
            label("stat", stat);
            value_u(c->cur);
        }
    }
}

void kernel(StrBuf *o)
{
    for (const KernelCounter &k : KERNEL_COUNTERS) {
        const Counter *c = ctr_find(k.key);
        if (!c) continue;
        single_u(o, k.metric, "counter", k.help, c->cur);
    }
    uint64_t count = 0, max = 1;
    uint32_t pct = 0;
    conntrack_read(&count, &max, &pct);
    single_u(o, "tarnwatch_conntrack_entries", "gauge", "Connection tracking entries.", count);
    single_u(o, "tarnwatch_conntrack_entries_limit", "gauge", "Connection tracking table size (1 when unreadable).",
             max);
}

const char *peer_display_name(const TfPeer &p, char out[64])
{
    for (int32_t i = 0; i < g_n_peer_names && i < MAX_PEER_NAMES; i++)
        if (std::strcmp(g_peer_names[i].key, p.key) == 0) return g_peer_names[i].name;
    std::snprintf(out, 64, "%.12s", p.key);  // what page 1 shows for a peer without a name
    return out;
}

void wireguard(StrBuf *o)
{
    family(o, "tarnwatch_wireguard_peers", "gauge", "Peers of the WireGuard device.");
    for (int32_t d = 0; d < g_n_wgdevs; d++)
        for (int32_t h = 0; h < g_n_wg_health; h++) {
            if (std::strcmp(g_wg_health[h].name, g_wgdevs[d]) != 0) continue;
            labels_begin();
            label("device", g_wgdevs[d]);
            value_i(g_wg_health[h].peers);
        }
    family(o, "tarnwatch_wireguard_fresh_peers", "gauge", "Peers with a handshake at most 150 seconds old.");
    for (int32_t d = 0; d < g_n_wgdevs; d++)
        for (int32_t h = 0; h < g_n_wg_health; h++) {
            if (std::strcmp(g_wg_health[h].name, g_wgdevs[d]) != 0) continue;
            labels_begin();
            label("device", g_wgdevs[d]);
            value_i(g_wg_health[h].fresh);
        }

    struct PeerFamily {
        const char *name, *type, *help;
        int what;
    };
    static constexpr PeerFamily PEER_FAMILIES[] = {
        {"tarnwatch_wireguard_peer_last_handshake_timestamp_seconds", "gauge",
         "When the latest handshake was, in seconds since the epoch; 0 when there was none.", 0},
        {"tarnwatch_wireguard_peer_rx_bytes_total", "counter", "Bytes received from the peer.", 1},
        {"tarnwatch_wireguard_peer_tx_bytes_total", "counter", "Bytes sent to the peer.", 2},
    };
    for (const PeerFamily &f : PEER_FAMILIES) {
        family(o, f.name, f.type, f.help);
        for (int32_t i = 0; i < g_tf_npeers; i++) {
            const TfPeer &p = g_tf_peers[i];
            char fallback[64];
            labels_begin();
            label("device", p.dev);
            label("public_key", p.key);
            label("name", peer_display_name(p, fallback));
            if (f.what == 1) {
                value_u(p.rx);
            } else if (f.what == 2) {
                value_u(p.tx);
            } else {
                value_i(p.handshake);
            }
        }
    }
}

void ospf(StrBuf *o)
{
    if (g_tf_ospf < 0) return;  // no client: page 1 has no OSPF section either
    single_u(o, "tarnwatch_ospf_neighbor_table_readable", "gauge",
             "1 when birdc gave a neighbour table, so the MISSING check ran.", g_tf_ospf == 1 ? 1 : 0);
    family(o, "tarnwatch_ospf_neighbor_full", "gauge", "1 when the adjacency with the neighbour is Full.");
    for (int32_t i = 0; i < g_tf_nnb; i++) {
        labels_begin();
        label("router_id", g_tf_nb[i].router_id);
        label("address", g_tf_nb[i].address);
        value_u(g_tf_nb[i].full ? 1 : 0);
    }
    if (g_tf_ospf != 1) return;
    family(o, "tarnwatch_ospf_expected_neighbor_missing", "gauge",
           "1 when a neighbour the BIRD configuration expects has no adjacency.");
    for (int32_t i = 0; i < g_n_ospf_exp && i < MAX_OSPF_EXP; i++) {
        labels_begin();
        label("address", g_ospf_exp[i].address);
        label("name", g_ospf_exp[i].label);
        value_u(g_tf_exp_seen[i] ? 0 : 1);
    }
}

void bursts(StrBuf *o)
{
    single_u(o, "tarnwatch_bursts_total", "counter", "Transmit drop bursts caught since the monitor started.",
             static_cast<uint64_t>(g_n_bursts));
    single_u(o, "tarnwatch_burst_capturing", "gauge", "1 while a burst capture window is open.",
             g_burst_state == 1 ? 1 : 0);
    single_u(o, "tarnwatch_burst_armed", "gauge", "1 when the burst catcher is armed.", g_burst_arm ? 1 : 0);
    single_u(o, "tarnwatch_burst_catcher_ready", "gauge", "1 when the kfree_skb trigger can be used.",
             g_tracedir[0] ? 1 : 0);
    if (g_n_bursts <= 0) return;
    const BurstEntry &last = g_bursts[(g_n_bursts - 1) % BURST_RING];
    family(o, "tarnwatch_burst_last_window_drops", "gauge", "Transmit drops during the last burst's capture window.");
    value_i(last.window_drops, false);
    family(o, "tarnwatch_burst_last_trigger_drops", "gauge", "Transmit drop rise that started the last capture.");
    value_i(last.trigger_delta, false);
}

void gate(StrBuf *o)
{
    single_u(o, "tarnwatch_gate_daemon_up", "gauge", "1 when moatwalld answered the last status request.",
             g_mw_daemon_ok == 1 ? 1 : 0);
    if (g_mw_daemon_ok == 1)
        single_u(o, "tarnwatch_gate_attached", "gauge", "1 when the XDP gate is attached.", g_mw_att ? 1 : 0);
    bool readable = g_mw_fd_stats >= 0;
    single_u(o, "tarnwatch_gate_maps_readable", "gauge", "1 when the gate's pinned statistics could be read.",
             readable ? 1 : 0);
    if (!readable) return;
    family(o, "tarnwatch_gate_packets_total", "counter", "Packets the XDP gate has seen, by verdict.");
    for (const GateCounter &g : GATE_COUNTERS) {
        const Counter *c = ctr_find(g.key);
        if (!c) continue;
        labels_begin();
        label("verdict", g.verdict);
        value_u(c->cur);
    }
    // Every key in the maps, not only the rows the page holds.
    single_u(o, "tarnwatch_gate_drop_prefixes", "gauge", "Source prefixes (IPv4 and IPv6) in the gate's drop lists.",
             static_cast<uint64_t>(g_mw_npfx_all));
    single_u(o, "tarnwatch_gate_drop_ports", "gauge", "Destination ports in the gate's drop list.",
             static_cast<uint64_t>(g_mw_nport_all));
}

// Where the temporary file is while it is written; emptied once renamed away.
char g_tf_tmp[4096];

}  // namespace

void tf_label_value(StrBuf *out, const char *s, size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    const unsigned char *end = p + n;
    while (p < end) {
        unsigned char c = *p;
        if (c == '\\') {
            sb_addf(out, "\\\\");
        } else if (c == '"') {
            sb_addf(out, "\\\"");
        } else if (c == '\n') {
            sb_addf(out, "\\n");
        } else if (c >= 0x20 && c < 0x7f) {
            sb_addf(out, "%c", c);
        } else {
            // The text may be cut: a sequence must end inside it to be valid.
            size_t len = c >= 0x80 && static_cast<size_t>(end - p) >= 2 ? utf8_seq_len(p) : 0;
            if (len > static_cast<size_t>(end - p)) len = 0;
            bool c1 = len == 2 && c == 0xc2 && p[1] <= 0x9f;  // U+0080..U+009F controls
            if (len > 0 && !c1) {
                sb_addf(out, "%.*s", static_cast<int>(len), reinterpret_cast<const char *>(p));
                p += len;
                continue;
            }
            sb_addf(out, "\\\\x%02x", c);  // a literal backslash, then the byte in hex
        }
        p++;
    }
}

void tf_note_wg_peer(const char *dev, std::string_view key, int64_t handshake, uint64_t rx, uint64_t tx)
{
    if (!g_textfile || g_tf_npeers >= TF_MAX_PEERS) return;
    TfPeer *p = &g_tf_peers[g_tf_npeers++];
    copy_cut(p->dev, sizeof p->dev, dev);
    copy_cut(p->key, sizeof p->key, key);
    p->handshake = handshake;
    p->rx = rx;
    p->tx = tx;
}

void tf_note_ospf_neighbor(const char *entry, bool full)
{
    if (!g_textfile || g_tf_nnb >= TF_MAX_NEIGHBORS) return;
    TfNeighbor *nb = &g_tf_nb[g_tf_nnb];
    unsigned q[4];
    if (std::sscanf(entry, "%u.%u.%u.%u", &q[0], &q[1], &q[2], &q[3]) != 4) return;
    std::snprintf(nb->router_id, sizeof nb->router_id, "%u.%u.%u.%u", q[0] & 255, q[1] & 255, q[2] & 255,
                  q[3] & 255);
    if (!birdc_last_ipv4(entry, nb->address)) copy_cut(nb->address, sizeof nb->address, nb->router_id);
    nb->full = full;
    g_tf_nnb++;
}

void tf_note_ospf_table(bool readable, const BirdcScan *scan)
{
    if (!g_textfile) return;
    g_tf_ospf = readable && scan ? 1 : 0;
    for (int i = 0; i < MAX_OSPF_EXP; i++) g_tf_exp_seen[i] = scan && scan->expected_seen[i];
}

void tf_build(StrBuf *out, const EthDev *nics, int32_t n_nics)
{
    family(out, "tarnwatch_build_info", "gauge", "Always 1; the label version is the monitor's version.");
    labels_begin();
    label("version", TARNWATCH_VERSION);
    value_u(1);
    interfaces(out);
    driver_stats(out, nics, n_nics);
    kernel(out);
    wireguard(out);
    ospf(out);
    bursts(out);
    gate(out);
    single_u(out, "tarnwatch_alerts", "gauge", "Alerts raised in the last sample (the alert line).",
             static_cast<uint64_t>(n_alerts > 0 ? n_alerts : 0));
    single_u(out, "tarnwatch_last_sample_timestamp_seconds", "gauge", "When the last sample was taken.",
             static_cast<uint64_t>(g_last_ts));
}

int tf_write_file(const char *path, const char *text, size_t len)
{
    const char *slash = std::strrchr(path, '/');
    int dirlen = slash ? static_cast<int>(slash - path + 1) : 0;
    const char *base = slash ? slash + 1 : path;
    if (!*base) {
        errno = EISDIR;
        return -1;
    }
    // A dot name without the .prom ending: the collector skips it while it is written.
    int w = std::snprintf(g_tf_tmp, sizeof g_tf_tmp, "%.*s.%s.XXXXXX", dirlen, path, base);
    if (w < 0 || static_cast<size_t>(w) >= sizeof g_tf_tmp) {
        g_tf_tmp[0] = '\0';
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = ::mkostemp(g_tf_tmp, O_CLOEXEC);
    if (fd < 0) {
        g_tf_tmp[0] = '\0';
        return -1;
    }
    int saved = 0;
    if (::fchmod(fd, 0644) != 0) saved = errno;  // the exporter runs as another user
    size_t done = 0;
    while (saved == 0 && done < len) {
        ssize_t r = ::write(fd, text + done, len - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            saved = r < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(r);
    }
    if (::close(fd) != 0 && saved == 0) saved = errno;
    if (saved == 0 && ::rename(g_tf_tmp, path) != 0) saved = errno;
    if (saved != 0) ::unlink(g_tf_tmp);
    g_tf_tmp[0] = '\0';
    errno = saved;
    return saved == 0 ? 0 : -1;
}

void tf_cleanup_signal_safe()
{
    if (g_tf_tmp[0]) ::unlink(g_tf_tmp);
}

int tf_after_sample(const EthDev *nics, int32_t n_nics, int *err)
{
    static StrBuf text;
    if (!text.buf) sb_init(&text, 64 * 1024);
    sb_clear(&text);
    tf_build(&text, nics, n_nics);
    forget_notes();
    int r = tf_write_file(g_textfile, text.buf, text.len);
    *err = r == 0 ? 0 : errno;
    if (r != 0) alert("textfile %s: %s", vis(g_textfile).s, std::strerror(*err));
    return r;
}
