#include "ifdetail/ifsnap.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/kernel_file.hpp"
#include "core/run_tool.hpp"
#include "core/vis_text.hpp"
#include "counters/counters.hpp"
#include "ifdetail/tc_qdisc.hpp"
#include "topology/wg_discover.hpp"

IfSnap g_snap[MAX_SNAPS];

// /sys/class/net/<name>/<file> into buf (at most 63 bytes); false when unreadable.
static bool read_link_file(const char *name, const char *file, char (&buf)[64])
{
    return kfile_str(buf, sizeof buf, "/sys/class/net/%s/%s", name, file) == 0;
}

// The interface name is one argument of its own: it never passes through a shell,
// whatever characters it holds.
static uint64_t qdisc_drops_of(const char *name)
{
    const char *argv[] = {"tc", "-s", "qdisc", "show", "dev", name, nullptr};
    ToolRun t;
    if (tool_start(&t, argv) != 0) return 0;
    char line[TC_STATS_LINE_MAX + 1];
    uint64_t sum = 0;
    while (tool_getline(&t, line, sizeof line) >= 0) tc_drops_line(&sum, line);
    tool_close(&t);
    return sum;
}

static void qdisc_kinds_of(const char *name, char *out, size_t size)
{
    const char *argv[] = {"tc", "qdisc", "show", "dev", name, nullptr};
    TcKinds k;
    ToolRun t;
    if (tool_start(&t, argv) == 0) {
        char line[TC_KINDS_LINE_MAX + 1];
        // The first two lines are all that is read; the rest of a long listing is not.
        while (tool_getline(&t, line, sizeof line) >= 0)
            if (tc_kinds_line(&k, line)) break;
        tool_close(&t);
    }
    tc_kinds_format(&k, out, size);
}

void ifsnap_take(uint32_t index, const char *name, double dt)
{
    if (index >= static_cast<uint32_t>(MAX_SNAPS)) return;
    IfSnap *s = &g_snap[index];
    s->operstate[0] = '\0';

    s->rx_bytes = sysstat(name, "rx_bytes");
    s->tx_bytes = sysstat(name, "tx_bytes");
    s->rx_packets = sysstat(name, "rx_packets");
    s->tx_packets = sysstat(name, "tx_packets");
    s->rx_errors = sysstat(name, "rx_errors");
    s->tx_errors = sysstat(name, "tx_errors");
    s->rx_dropped = sysstat(name, "rx_dropped");
    s->tx_dropped = sysstat(name, "tx_dropped");
    s->rx_missed_errors = sysstat(name, "rx_missed_errors");
    s->rx_fifo_errors = sysstat(name, "rx_fifo_errors");
    s->rx_over_errors = sysstat(name, "rx_over_errors");
    s->rx_crc_errors = sysstat(name, "rx_crc_errors");
    s->rx_frame_errors = sysstat(name, "rx_frame_errors");
    s->tx_fifo_errors = sysstat(name, "tx_fifo_errors");
    s->tx_carrier_errors = sysstat(name, "tx_carrier_errors");
    s->collisions = sysstat(name, "collisions");
    s->multicast = sysstat(name, "multicast");

    s->qdisc_drops = qdisc_drops_of(name);
    s->qdisc[0] = '\0';
    qdisc_kinds_of(name, s->qdisc, sizeof s->qdisc);

    char buf[64];
    // The flag word is written as 0x...; base 0 reads it as hexadecimal.
    s->flags = read_link_file(name, "flags", buf) ? std::strtoull(buf, nullptr, 0) : 0;

    s->is_wg = 0;
    for (int32_t i = 0; i < g_n_wgdevs && i < MAX_WGDEVS; i++)
        if (std::strcmp(g_wgdevs[i], name) == 0) s->is_wg = 1;

    s->carrier_changes = read_link_file(name, "carrier_changes", buf) ? std::strtoull(buf, nullptr, 10) : 0;
    if (read_link_file(name, "operstate", buf)) {
        rstrip(buf);
        std::snprintf(s->operstate, sizeof s->operstate, "%.15s", buf);
        vis_inplace(s->operstate);
    }
    // The sysfs flag word never carries IFF_LOWER_UP (the kernel adds it only when
    // it reports flags over netlink or ioctl), so a link that reports no state of
    // its own would always look carrier-less. The carrier file is that same bit;
    // it is read only for such links, the only ones judged by it.
    if (std::strcmp(s->operstate, "unknown") == 0 && read_link_file(name, "carrier", buf) && buf[0] == '1')
        s->flags |= IFF_LOWER_UP_BIT;
    // A link without a speed (down, virtual) fails the read itself, e.g. EINVAL.
    s->speed = read_link_file(name, "speed", buf) ? std::strtoll(buf, nullptr, 10) : -1;
    s->mtu = read_link_file(name, "mtu", buf) ? std::strtoull(buf, nullptr, 10) : 0;

    char key[192];
    std::snprintf(key, sizeof key, "%s/r.rxb", name);
    s->rx_bps = ctr_rate(key, s->rx_bytes, dt);
    std::snprintf(key, sizeof key, "%s/r.txb", name);
    s->tx_bps = ctr_rate(key, s->tx_bytes, dt);
    std::snprintf(key, sizeof key, "%s/r.rxp", name);
    s->rx_pps = ctr_rate(key, s->rx_packets, dt);
    std::snprintf(key, sizeof key, "%s/r.txp", name);
    s->tx_pps = ctr_rate(key, s->tx_packets, dt);
}
