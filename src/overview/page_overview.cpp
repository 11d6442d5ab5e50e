#include "overview/page_overview.hpp"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/strbuf.hpp"
#include "core/vis_text.hpp"
#include "counters/counters.hpp"
#include "counters/fmt_iec.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/conntrack.hpp"
#include "overview/kernel_counters.hpp"
#include "overview/nst_table.hpp"
#include "overview/ospf_check.hpp"
#include "overview/overview_model.hpp"
#include "topology/ifaces.hpp"
#include "topology/link_state.hpp"
#include "topology/wg_discover.hpp"

namespace {

// By WG_LINK_STATS position; the statistic's name is also the key suffix: "<dev>/<stat>".
constexpr const char *WG_LINK_LABELS[N_WG_LINK_STATS] = {
    "  TX errors (no peer/AllowedIPs match): ",
    "  TX drops                            : ",
    "  RX errors (auth/decrypt fail)       : ",
    "  RX drops                            : ",
};

StrBuf *page() { return &PAGES[0]; }

uint64_t nst_or_zero(const char *name)
{
    uint64_t v = 0;
    return nst_get(name, &v) ? v : 0;
}

void wireguard_sections()
{
    for (int32_t d = 0; d < g_n_wgdevs && d < MAX_WGDEVS; d++) {
        const char *dev = g_wgdevs[d];
        sb_addf(page(), "%s=== WireGuard (%s) link ===%s\n", BOLD, vis_ifname(dev).s, RST);
        for (int i = 0; i < N_WG_LINK_STATS; i++) {
            char key[160];
            std::snprintf(key, sizeof key, "%s/%s", dev, WG_LINK_STATS[i]);
            sb_addf(page(), "%s", WG_LINK_LABELS[i]);
            ctr_fmtx(page(), key, g_wg_link[d][i], 1);
            sb_addf(page(), "\n");
        }
        sb_addf(page(), "\n%s=== WireGuard (%s) peers ===%s\n", BOLD, vis_ifname(dev).s, RST);
        wg_peers_section(d);
        sb_addf(page(), "\n");
    }
}

void nst_lines(const KernelCounter *lines, size_t n, bool newline_each)
{
    for (size_t i = 0; i < n; i++) {
        sb_addf(page(), "%s", lines[i].label);
        ctr_fmtx(page(), lines[i].key, nst_or_zero(lines[i].name), 1);
        if (newline_each) sb_addf(page(), "\n");
    }
}

void stack_sections()
{
    sb_addf(page(), "%s=== UDP underlay ===%s\n", BOLD, RST);
    nst_lines(UDP_COUNTERS, std::size(UDP_COUNTERS), true);

    sb_addf(page(), "\n%s=== IP stack ===%s\n", BOLD, RST);
    nst_lines(IP_COUNTERS, std::size(IP_COUNTERS) - 1, true);
    nst_lines(IP_COUNTERS + std::size(IP_COUNTERS) - 1, 1, false);
    sb_addf(page(), " %s(strict rp_filter eating asymmetric OSPF paths?)%s\n", DIM, RST);

    sb_addf(page(), "\n%s=== Softnet (kernel ingress) ===%s\n", BOLD, RST);
    sb_addf(page(), "%s", SOFTNET_COUNTERS[0].label);
    ctr_fmtx(page(), SOFTNET_COUNTERS[0].key, g_softnet.drops, 1);
    sb_addf(page(), "\n%s", SOFTNET_COUNTERS[1].label);
    ctr_fmtx(page(), SOFTNET_COUNTERS[1].key, g_softnet.squeeze, 1);
    sb_addf(page(), "  %s(budget exhausted; sustained growth at 10G = raise netdev_budget)%s\n", DIM, RST);
}

void conntrack_section()
{
    const uint64_t count = g_conntrack.count, max = g_conntrack.max;
    const uint32_t pct = g_conntrack.pct;
    const char *col = DIM;
    if (pct > 90) {
        col = RED;
        alert("conntrack %u%%", pct);
    } else if (pct > 70) {
        col = YEL;
    }
    sb_addf(page(), "\n%s=== Conntrack ===%s\n  %s%llu / %llu (%u%%)%s\n", BOLD, RST, col,
            static_cast<unsigned long long>(count), static_cast<unsigned long long>(max), pct, RST);
}

void interface_summary()
{
    sb_addf(page(), "\n%s=== Interfaces (page 2 for detail) ===%s\n", BOLD, RST);
    for (int32_t i = 0; i < g_n_ifaces && i < MAX_SNAPS; i++) {
        const char *name = g_ifaces[i];
        const IfSnap *s = &g_snap[i];
        char state[40];
        const char *col = RED;
        link_state(s, name, state, &col);
        char rx[32], tx[32];
        fmt_iec_d(s->rx_bps, rx);
        fmt_iec_d(s->tx_bps, tx);
        sb_addf(page(), "  %-18s %s%-18s%s rx:%sB/s tx:%sB/s  ", vis_ifname(name).s, col, state, RST, rx, tx);
        // Same keys as the Interfaces page, which alerts on them; one history each.
        char key[192];
        std::snprintf(key, sizeof key, "%.15s/l.rx_dropped", name);
        sb_addf(page(), "rxD:");
        ctr_fmtx(page(), key, s->rx_dropped, 0);
        std::snprintf(key, sizeof key, "%.15s/l.tx_dropped", name);
        sb_addf(page(), " txD:");
        ctr_fmtx(page(), key, s->tx_dropped, 0);
        std::snprintf(key, sizeof key, "%.15s/l.qdrops", name);
        sb_addf(page(), " qD:");
        ctr_fmtx(page(), key, s->qdisc_drops, 0);
        sb_addf(page(), "\n");
    }
}

}  // namespace

void render_overview()
{
    wireguard_sections();
    stack_sections();
    conntrack_section();
    interface_summary();
    ospf_check();
}
