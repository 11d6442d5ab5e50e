// Pages 3 and 4's figures: the burst catcher and the XDP gate.
#include "burst/burst_state.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "export/export_areas.hpp"
#include "export/prom_text.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"

void tf_export_bursts(StrBuf *o)
{
    tf_single_u(o, "tarnwatch_bursts_total", "counter", "Transmit drop bursts caught since the monitor started.",
                static_cast<uint64_t>(g_n_bursts));
    tf_single_u(o, "tarnwatch_burst_capturing", "gauge", "1 while a burst capture window is open.",
                burst_capturing() ? 1 : 0);
    tf_single_u(o, "tarnwatch_burst_armed", "gauge", "1 when the burst catcher is armed.", g_burst_arm ? 1 : 0);
    tf_single_u(o, "tarnwatch_burst_catcher_ready", "gauge", "1 when the kfree_skb trigger can be used.",
                g_tracedir[0] ? 1 : 0);
    if (g_n_bursts <= 0) return;
    const BurstEntry &last = g_bursts[(g_n_bursts - 1) % BURST_RING];
    tf_family(o, "tarnwatch_burst_last_window_drops", "gauge", "Transmit drops during the last burst's capture window.");
    tf_value_i(last.window_drops, false);
    tf_family(o, "tarnwatch_burst_last_trigger_drops", "gauge", "Transmit drop rise that started the last capture.");
    tf_value_i(last.trigger_delta, false);
}

void tf_export_gate(StrBuf *o)
{
    tf_single_u(o, "tarnwatch_gate_daemon_up", "gauge", "1 when moatwalld answered the last status request.",
                g_mw_daemon_ok == 1 ? 1 : 0);
    if (g_mw_daemon_ok == 1)
        tf_single_u(o, "tarnwatch_gate_attached", "gauge", "1 when the XDP gate is attached.", g_mw_att ? 1 : 0);
    bool readable = g_mw_fd_stats >= 0;
    tf_single_u(o, "tarnwatch_gate_maps_readable", "gauge", "1 when the gate's pinned statistics could be read.",
                readable ? 1 : 0);
    if (!readable) return;
    tf_family(o, "tarnwatch_gate_packets_total", "counter", "Packets the XDP gate has seen, by verdict.");
    for (const MwStatRow &r : MW_STAT_ROWS) {
        const Counter *c = tf_counter(r.name);
        if (!c) continue;
        tf_labels_begin();
        tf_label("verdict", r.verdict);
        tf_value_u(c->cur);
    }
    // Every key in the maps, not only the rows the page holds.
    tf_single_u(o, "tarnwatch_gate_drop_prefixes", "gauge", "Source prefixes (IPv4 and IPv6) in the gate's drop lists.",
                static_cast<uint64_t>(g_mw_npfx_all));
    tf_single_u(o, "tarnwatch_gate_drop_ports", "gauge", "Destination ports in the gate's drop list.",
                static_cast<uint64_t>(g_mw_nport_all));
}
