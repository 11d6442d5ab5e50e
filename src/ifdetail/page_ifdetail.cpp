#include "ifdetail/page_ifdetail.hpp"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <linux/ethtool.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/vis_text.hpp"
#include "counters/counters.hpp"
#include "counters/fmt_iec.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "ifdetail/ethtool.hpp"
#include "ifdetail/ifdetail_model.hpp"
#include "ifdetail/ifsnap.hpp"
#include "topology/ifaces.hpp"
#include "topology/link_state.hpp"

namespace {

struct LinkCounter {
    const char *label;
    const char *key;  // "<dev>/<key>"
    uint64_t IfSnap::*field;
};
constexpr LinkCounter RX_COUNTERS[] = {
    {"  rx   : err:", "l.rx_errors", &IfSnap::rx_errors},
    {"  drop:", "l.rx_dropped", &IfSnap::rx_dropped},
    {"  missed:", "l.rx_missed", &IfSnap::rx_missed_errors},
    {"  fifo:", "l.rx_fifo", &IfSnap::rx_fifo_errors},
    {"  overrun:", "l.rx_over", &IfSnap::rx_over_errors},
    {"  crc:", "l.rx_crc", &IfSnap::rx_crc_errors},
    {"  frame:", "l.rx_frame", &IfSnap::rx_frame_errors},
};
constexpr LinkCounter TX_COUNTERS[] = {
    {"  tx   : err:", "l.tx_errors", &IfSnap::tx_errors},
    {"  drop:", "l.tx_dropped", &IfSnap::tx_dropped},
    {"  fifo:", "l.tx_fifo", &IfSnap::tx_fifo_errors},
    {"  carrier:", "l.tx_carrier", &IfSnap::tx_carrier_errors},
    {"  colls:", "l.collisions", &IfSnap::collisions},
};

StrBuf *page() { return &PAGES[1]; }

// fq's per-flow limit clips the bursts of forwarded flows; fq_codel does not.
bool fq_like(const char *qdisc)
{
    return !std::strstr(qdisc, "fq_codel") && (std::strstr(qdisc, "/fq") || std::strcmp(qdisc, "fq") == 0);
}

const char *qdisc_color(const char *qdisc)
{
    if (std::strstr(qdisc, "fq_codel")) return GRN;
    return fq_like(qdisc) ? YEL : DIM;
}

int64_t counter(const char *name, const char *suffix, uint64_t value)
{
    char key[192];
    std::snprintf(key, sizeof key, "%.15s/%s", name, suffix);
    return ctr_fmtx(page(), key, value, 1);
}

void counter_line(const char *name, const IfSnap *s, const LinkCounter *rows, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        sb_addf(page(), "%s", rows[i].label);
        counter(name, rows[i].key, s->*rows[i].field);
    }
    sb_addf(page(), "\n");
}

void link_line(const char *name, const IfSnap *s)
{
    char state[40];
    const char *col = RED;
    link_state(s, name, state, &col);
    sb_addf(page(), "  link : %s%s%s", col, state, RST);
    if (s->speed > 0) sb_addf(page(), " %lldMb/s", static_cast<long long>(s->speed));
    sb_addf(page(), " mtu:%llu", static_cast<unsigned long long>(s->mtu));
    if (s->qdisc[0]) sb_addf(page(), " qdisc:%s%s%s", qdisc_color(s->qdisc), vis(s->qdisc).s, RST);
    sb_addf(page(), "  carrier_changes:");
    if (counter(name, "carrier_changes", s->carrier_changes) > 0) sb_addf(page(), " %s<< LINK FLAP%s", RED, RST);
    sb_addf(page(), "\n");
}

void rate_line(const IfSnap *s)
{
    char rx[32], tx[32];
    fmt_iec_d(s->rx_bps, rx);
    fmt_iec_d(s->tx_bps, tx);
    sb_addf(page(), "  rate : rx %sB/s (%.0f pps)   tx %sB/s (%.0f pps)   mcast total:%llu\n", rx, s->rx_pps, tx,
            s->tx_pps, static_cast<unsigned long long>(s->multicast));
}

void qdisc_line(const char *name, const IfSnap *s)
{
    sb_addf(page(), "  qdisc drops: ");
    counter(name, "l.qdrops", s->qdisc_drops);
    if (fq_like(s->qdisc))
        sb_addf(page(), " %s(fq flow_limit on a router: bursty forwarded flows get clipped -- use fq_codel)%s", YEL, RST);
    sb_addf(page(), "\n");
}

void pflags_line(const EthDev *d)
{
    if (!d->pflags_ok || d->n_pflags == 0 || !d->pflag_names) return;
    sb_addf(page(), "  %spriv-flags:%s ", DIM, RST);
    char flag[ETH_GSTRING_LEN_BYTES + 1];
    for (uint32_t i = 0; i < d->n_pflags && i < ETH_MAX_PFLAGS; i++) {
        eth_name_at(d->pflag_names, i, flag);
        bool on = (d->pflags >> i) & 1u;
        // LLDP handled by the firmware eats the frames before the host's own agent.
        if (!on && strcasestr(flag, "disable-fw-lldp"))
            sb_addf(page(), "%s%s:off(!)%s ", YEL, flag, RST);
        else
            sb_addf(page(), "%s%s:%s%s ", DIM, flag, on ? "on" : "off", RST);
    }
    sb_addf(page(), "\n");
}

void stat_row(const EthDev *d, uint32_t idx, uint64_t value)
{
    char stat[ETH_GSTRING_LEN_BYTES + 1];
    eth_name_at(d->stat_names, idx, stat);
    char key[192];
    eth_stat_key(key, sizeof key, d->name, stat);
    Counter *c = ctr_get(key);
    // Statistics that have always been 0 take no row; a first 0 is recorded so a
    // later rise shows as a delta.
    if (value == 0 && !c->seen) {
        c->first = c->prev = c->cur = 0;
        c->seen = 1;
        return;
    }
    if (value == 0 && c->first == 0 && c->cur == 0) return;
    sb_addf(page(), "  %-34s: ", stat);
    ctr_fmtx(page(), key, value, 1);
    if (std::strcmp(stat, "rx_unknown_protocol") == 0)
        sb_addf(page(), " %s(i40e: usually LLDP/unknown ethertype)%s", DIM, RST);
    if (strcasestr(stat, "xoff_rx")) sb_addf(page(), " %s(pause frames FROM switch)%s", DIM, RST);
    sb_addf(page(), "\n");
}

void stat_rows(const EthDev *d, const NicValues *vals)
{
    if (!vals->ok) return;
    for (int32_t w = 0; w < d->n_watch && w < static_cast<int32_t>(ETH_MAX_STATS); w++) {
        uint32_t idx = d->watch_idx[w];
        if (idx < d->n_stats) stat_row(d, idx, vals->v[idx]);
    }
}

}  // namespace

void render_iface_full(uint32_t index, const char *name, const EthDev *nics, int32_t n_nics)
{
    if (index >= static_cast<uint32_t>(MAX_SNAPS)) return;
    const IfSnap *s = &g_snap[index];
    sb_addf(page(), "\n%s=== %s ===%s\n", BOLD, vis_ifname(name).s, RST);
    link_line(name, s);
    rate_line(s);
    counter_line(name, s, RX_COUNTERS, std::size(RX_COUNTERS));
    counter_line(name, s, TX_COUNTERS, std::size(TX_COUNTERS));
    qdisc_line(name, s);
    for (int32_t i = 0; i < n_nics && i < MAX_NICS; i++) {
        if (std::strncmp(nics[i].name, name, sizeof nics[i].name) != 0) continue;
        pflags_line(&nics[i]);
        stat_rows(&nics[i], &g_nic_vals[i]);
    }
}

// A WAN or LAN that does not exist (the built-in names, on most machines) is
// said at the top, with the names that do exist and the option that picks one.
static void missing_ifaces_note()
{
    struct Role {
        const char *role, *name, *opt;
    };
    const Role roles[N_IF_ROLES] = {{"WAN", g_wan, "-w"}, {"LAN", g_lan, "-l"}};
    for (int i = 0; i < N_IF_ROLES; i++) {
        const Role &r = roles[i];
        if (!g_role_missing[i]) continue;
        const char *names = g_ifs_here[0] ? g_ifs_here : "(none)";
        sb_addf(page(), "%s%s %s not found%s: name yours with %s IF (interfaces here: %s)\n", YEL, r.role,
                vis_ifname(r.name).s, RST, r.opt, names);
        alert("%s %s not found: %s IF names yours (here: %s)", r.role, vis_ifname(r.name).s, r.opt, names);
    }
}

void render_interfaces(const EthDev *nics, int32_t n_nics)
{
    sb_addf(page(), "%s=== Interface detail ===%s  nics[", BOLD, RST);
    for (int32_t i = 0; i < n_nics && i < MAX_NICS; i++)
        sb_addf(page(), "%s%s(%s)", i ? " " : "", vis_ifname(nics[i].name).s, nics[i].driver);
    sb_addf(page(), "]\n");
    missing_ifaces_note();
    for (int32_t i = 0; i < g_n_ifaces && i < MAX_IFACES; i++)
        render_iface_full(static_cast<uint32_t>(i), g_ifaces[i], nics, n_nics);
    if (g_ifaces_left_out > 0)
        sb_addf(page(), "\n%s%d more %s not watched: the table holds %d (WAN and LAN first, then their "
                        "VLANs, WireGuard devices, he6, enp42s0)%s\n",
                YEL, g_ifaces_left_out, g_ifaces_left_out == 1 ? "interface qualifies but is" : "interfaces qualify but are",
                MAX_IFACES, RST);
}
