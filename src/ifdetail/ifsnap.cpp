#include "ifdetail/ifsnap.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/fsroot.hpp"
#include "core/kernel_file.hpp"
#include "core/run_tool.hpp"
#include "core/vis_text.hpp"
#include "counters/counters.hpp"
#include "ifdetail/tc_qdisc.hpp"
#include "topology/wg_discover.hpp"

IfSnap g_snap[MAX_SNAPS];

// Each slot keeps its interface's sysfs directory and statistics directory
// open, so the 22 reads of a sample open one name each instead of walking
// /sys/class/net/<name>/... (and its symlink) 22 times. The values are still
// read afresh from the files every sample.
struct SnapDirs {
    char name[16] = "";
    int dir = -1, stats = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};
static SnapDirs g_dirs[MAX_SNAPS];

static void dirs_close(SnapDirs *d)
{
    if (d->stats >= 0) ::close(d->stats);
    if (d->dir >= 0) ::close(d->dir);
    d->dir = d->stats = -1;
    d->name[0] = '\0';
}

void ifsnap_forget_dirs()
{
    for (SnapDirs &d : g_dirs) dirs_close(&d);
}

// Whether d still is the directory /sys/class/net/<name> leads to: an interface
// deleted, re-created or renamed since it was opened would otherwise be read
// under the wrong name. Its parent holds it under its current name, so one
// short lookup tells.
static bool dirs_current(const SnapDirs *d, const char *name)
{
    if (d->dir < 0 || std::strcmp(d->name, name) != 0) return false;
    char rel[24];
    std::snprintf(rel, sizeof rel, "../%s", name);
    struct stat st;
    return ::fstatat(d->dir, rel, &st, 0) == 0 && st.st_dev == d->dev && st.st_ino == d->ino;
}

static SnapDirs *dirs_for(uint32_t index, const char *name)
{
    SnapDirs *d = &g_dirs[index];
    if (dirs_current(d, name)) return d;
    dirs_close(d);
    char path[512];
    struct stat st;
    if (fs_path(path, sizeof path, "/sys/class/net/%s", name) != 0) return d;
    d->dir = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d->dir < 0) return d;
    if (::fstat(d->dir, &st) != 0) {
        dirs_close(d);
        return d;
    }
    d->dev = st.st_dev;
    d->ino = st.st_ino;
    d->stats = ::openat(d->dir, "statistics", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::snprintf(d->name, sizeof d->name, "%s", name);
    return d;
}

// <dir>/<file> into buf (at most 63 bytes); false when unreadable.
static bool read_at(int dir, const char *file, char (&buf)[64])
{
    if (dir < 0) return false;
    int fd = ::openat(dir, file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n;
    do n = ::read(fd, buf, sizeof buf - 1);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 0) return false;
    buf[n] = '\0';
    return true;
}

static uint64_t stat_at(const SnapDirs *d, const char *stat)
{
    char buf[64];
    return read_at(d->stats, stat, buf) ? std::strtoull(buf, nullptr, 10) : 0;
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
    // A name that could not fit a kernel path, or walks out of the class
    // directory, is not an interface: every read fails, as by path.
    static const SnapDirs none{};
    const bool usable = std::strlen(name) < sizeof SnapDirs::name && !std::strchr(name, '/') &&
                        std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
    const SnapDirs *d = usable ? dirs_for(index, name) : &none;

    s->rx_bytes = stat_at(d, "rx_bytes");
    s->tx_bytes = stat_at(d, "tx_bytes");
    s->rx_packets = stat_at(d, "rx_packets");
    s->tx_packets = stat_at(d, "tx_packets");
    s->rx_errors = stat_at(d, "rx_errors");
    s->tx_errors = stat_at(d, "tx_errors");
    s->rx_dropped = stat_at(d, "rx_dropped");
    s->tx_dropped = stat_at(d, "tx_dropped");
    s->rx_missed_errors = stat_at(d, "rx_missed_errors");
    s->rx_fifo_errors = stat_at(d, "rx_fifo_errors");
    s->rx_over_errors = stat_at(d, "rx_over_errors");
    s->rx_crc_errors = stat_at(d, "rx_crc_errors");
    s->rx_frame_errors = stat_at(d, "rx_frame_errors");
    s->tx_fifo_errors = stat_at(d, "tx_fifo_errors");
    s->tx_carrier_errors = stat_at(d, "tx_carrier_errors");
    s->collisions = stat_at(d, "collisions");
    s->multicast = stat_at(d, "multicast");

    s->qdisc_drops = qdisc_drops_of(name);
    s->qdisc[0] = '\0';
    qdisc_kinds_of(name, s->qdisc, sizeof s->qdisc);

    char buf[64];
    // The flag word is written as 0x...; base 0 reads it as hexadecimal.
    s->flags = read_at(d->dir, "flags", buf) ? std::strtoull(buf, nullptr, 0) : 0;

    s->is_wg = 0;
    for (int32_t i = 0; i < g_n_wgdevs && i < MAX_WGDEVS; i++)
        if (std::strcmp(g_wgdevs[i], name) == 0) s->is_wg = 1;

    s->carrier_changes = read_at(d->dir, "carrier_changes", buf) ? std::strtoull(buf, nullptr, 10) : 0;
    if (read_at(d->dir, "operstate", buf)) {
        rstrip(buf);
        std::snprintf(s->operstate, sizeof s->operstate, "%.15s", buf);
        vis_inplace(s->operstate);
    }
    // The sysfs flag word never carries IFF_LOWER_UP (the kernel adds it only when
    // it reports flags over netlink or ioctl), so a link that reports no state of
    // its own would always look carrier-less. The carrier file is that same bit;
    // it is read only for such links, the only ones judged by it.
    if (std::strcmp(s->operstate, "unknown") == 0 && read_at(d->dir, "carrier", buf) && buf[0] == '1')
        s->flags |= IFF_LOWER_UP_BIT;
    // A link without a speed (down, virtual) fails the read itself, e.g. EINVAL.
    s->speed = read_at(d->dir, "speed", buf) ? std::strtoll(buf, nullptr, 10) : -1;
    s->mtu = read_at(d->dir, "mtu", buf) ? std::strtoull(buf, nullptr, 10) : 0;

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
