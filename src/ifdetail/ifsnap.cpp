#include "ifdetail/ifsnap.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <fcntl.h>
#include <algorithm>
#include <sys/resource.h>
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
static_assert(MAX_SNAPS <= TC_MAX_DEVS, "one listing serves every slot");

// The files a snapshot reads: the statistics (under statistics/) in the order
// of IfSnap, then the link fields.
enum SnapFile {
    F_RX_BYTES, F_TX_BYTES, F_RX_PACKETS, F_TX_PACKETS, F_RX_ERRORS, F_TX_ERRORS, F_RX_DROPPED, F_TX_DROPPED,
    F_RX_MISSED, F_RX_FIFO, F_RX_OVER, F_RX_CRC, F_RX_FRAME, F_TX_FIFO, F_TX_CARRIER, F_COLLISIONS, F_MULTICAST,
    N_STAT_FILES,
    F_FLAGS = N_STAT_FILES, F_CARRIER_CHANGES, F_OPERSTATE, F_CARRIER, F_SPEED, F_MTU,
    N_SNAP_FILES
};
static const char *const SNAP_FILES[N_SNAP_FILES] = {
    "rx_bytes", "tx_bytes", "rx_packets", "tx_packets", "rx_errors", "tx_errors", "rx_dropped", "tx_dropped",
    "rx_missed_errors", "rx_fifo_errors", "rx_over_errors", "rx_crc_errors", "rx_frame_errors", "tx_fifo_errors",
    "tx_carrier_errors", "collisions", "multicast",
    "flags", "carrier_changes", "operstate", "carrier", "speed", "mtu",
};

// Each slot keeps its interface's sysfs directories and files open: a sample
// then costs one read from offset 0 per file, which the kernel answers afresh
// every time, instead of walking /sys/class/net/<name>/... (and its symlink),
// opening and closing 22 times. The descriptors go at rediscovery, and as soon
// as the name leads elsewhere.
struct SnapDirs {
    char name[16] = "";
    int dir = -1, stats = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    int fd[N_SNAP_FILES];
    SnapDirs() { std::fill(fd, fd + N_SNAP_FILES, -1); }
};
static SnapDirs g_dirs[MAX_SNAPS];

// Files kept open at most, so the monitor's own descriptors (sockets, pipes,
// captures) never run short: all of them with the usual limit of 1024.
static int g_kept = 0;
static int kept_budget()
{
    static int budget = -1;
    if (budget < 0) {
        rlimit rl{};
        long long cur = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 ? static_cast<long long>(rl.rlim_cur) : 0;
        if (rl.rlim_cur == RLIM_INFINITY) cur = 1LL << 20;
        long long b = cur - 256;
        if (b > MAX_SNAPS * N_SNAP_FILES) b = MAX_SNAPS * N_SNAP_FILES;
        budget = b > 0 ? static_cast<int>(b) : 0;
    }
    return budget;
}

static void dirs_close(SnapDirs *d)
{
    for (int &fd : d->fd)
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
            g_kept--;
        }
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

static bool read_fd(int fd, off_t at, char (&buf)[64])
{
    ssize_t n;
    do n = at < 0 ? ::read(fd, buf, sizeof buf - 1) : ::pread(fd, buf, sizeof buf - 1, at);
    while (n < 0 && errno == EINTR);
    if (n < 0) return false;  // e.g. the speed of a link that is down
    buf[n] = '\0';
    return true;
}

// One of the slot's files into buf (at most 63 bytes); false when unreadable.
static bool read_snap_file(SnapDirs *d, SnapFile f, char (&buf)[64])
{
    int base = f < N_STAT_FILES ? d->stats : d->dir;
    if (base < 0) return false;
    if (d->fd[f] < 0) {
        int fd = ::openat(base, SNAP_FILES[f], O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        if (g_kept >= kept_budget()) {  // read once and let go, as by path
            bool ok = read_fd(fd, -1, buf);
            ::close(fd);
            return ok;
        }
        d->fd[f] = fd;
        g_kept++;
        return read_fd(fd, -1, buf);
    }
    return read_fd(d->fd[f], 0, buf);
}

static uint64_t stat_at(SnapDirs *d, SnapFile f)
{
    char buf[64];
    return read_snap_file(d, f, buf) ? std::strtoull(buf, nullptr, 10) : 0;
}

// One `tc -s qdisc show` of every device for all the watched ones: its cost
// hardly grows with them, where a run per interface (or a `tc -batch` of one
// `qdisc show dev X` each, which the kernel answers with every device's qdiscs
// every time) does. No name passes through a command line.
static void qdisc_listing(TcListing *ls)
{
    const char *argv[] = {"tc", "-s", "qdisc", "show", nullptr};
    ToolRun t;
    if (tool_start(&t, argv) != 0) return;
    char line[TC_LINE_MAX + 1];
    while (tool_getline(&t, line, sizeof line) >= 0) tc_listing_line(ls, line);
    tool_close(&t);
}

// Everything but the qdisc fields, which come from the listing.
static void take_sysfs(uint32_t index, const char *name, double dt)
{
    IfSnap *s = &g_snap[index];
    s->operstate[0] = '\0';
    // A name that could not fit a kernel path, or walks out of the class
    // directory, is not an interface: every read fails, as by path.
    static SnapDirs none;  // never opened: every read fails
    const bool usable = std::strlen(name) < sizeof SnapDirs::name && !std::strchr(name, '/') &&
                        std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
    SnapDirs *d = usable ? dirs_for(index, name) : &none;

    s->rx_bytes = stat_at(d, F_RX_BYTES);
    s->tx_bytes = stat_at(d, F_TX_BYTES);
    s->rx_packets = stat_at(d, F_RX_PACKETS);
    s->tx_packets = stat_at(d, F_TX_PACKETS);
    s->rx_errors = stat_at(d, F_RX_ERRORS);
    s->tx_errors = stat_at(d, F_TX_ERRORS);
    s->rx_dropped = stat_at(d, F_RX_DROPPED);
    s->tx_dropped = stat_at(d, F_TX_DROPPED);
    s->rx_missed_errors = stat_at(d, F_RX_MISSED);
    s->rx_fifo_errors = stat_at(d, F_RX_FIFO);
    s->rx_over_errors = stat_at(d, F_RX_OVER);
    s->rx_crc_errors = stat_at(d, F_RX_CRC);
    s->rx_frame_errors = stat_at(d, F_RX_FRAME);
    s->tx_fifo_errors = stat_at(d, F_TX_FIFO);
    s->tx_carrier_errors = stat_at(d, F_TX_CARRIER);
    s->collisions = stat_at(d, F_COLLISIONS);
    s->multicast = stat_at(d, F_MULTICAST);

    char buf[64];
    // The flag word is written as 0x...; base 0 reads it as hexadecimal.
    s->flags = read_snap_file(d, F_FLAGS, buf) ? std::strtoull(buf, nullptr, 0) : 0;

    s->is_wg = 0;
    for (int32_t i = 0; i < g_n_wgdevs && i < MAX_WGDEVS; i++)
        if (std::strcmp(g_wgdevs[i], name) == 0) s->is_wg = 1;

    s->carrier_changes = read_snap_file(d, F_CARRIER_CHANGES, buf) ? std::strtoull(buf, nullptr, 10) : 0;
    if (read_snap_file(d, F_OPERSTATE, buf)) {
        rstrip(buf);
        std::snprintf(s->operstate, sizeof s->operstate, "%.15s", buf);
        vis_inplace(s->operstate);
    }
    // The sysfs flag word never carries IFF_LOWER_UP (the kernel adds it only when
    // it reports flags over netlink or ioctl), so a link that reports no state of
    // its own would always look carrier-less. The carrier file is that same bit;
    // it is read only for such links, the only ones judged by it.
    if (std::strcmp(s->operstate, "unknown") == 0 && read_snap_file(d, F_CARRIER, buf) && buf[0] == '1')
        s->flags |= IFF_LOWER_UP_BIT;
    // A link without a speed (down, virtual) fails the read itself, e.g. EINVAL.
    s->speed = read_snap_file(d, F_SPEED, buf) ? std::strtoll(buf, nullptr, 10) : -1;
    s->mtu = read_snap_file(d, F_MTU, buf) ? std::strtoull(buf, nullptr, 10) : 0;

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

static void take_qdisc(uint32_t index, const TcListing *ls, int slot)
{
    IfSnap *s = &g_snap[index];
    s->qdisc_drops = tc_listing_drops(ls, slot);
    s->qdisc[0] = '\0';
    tc_listing_kinds(ls, slot, s->qdisc, sizeof s->qdisc);
}

void ifsnap_take(uint32_t index, const char *name, double dt)
{
    if (index >= static_cast<uint32_t>(MAX_SNAPS)) return;
    TcListing ls;
    tc_listing_init(&ls, &name, 1);
    qdisc_listing(&ls);
    take_sysfs(index, name, dt);
    take_qdisc(index, &ls, 0);
}

void ifsnap_take_all(const char (*names)[16], int32_t n, double dt)
{
    if (n <= 0) return;  // nothing watched: no tc either
    if (n > MAX_SNAPS) n = MAX_SNAPS;
    const char *list[MAX_SNAPS];
    for (int32_t i = 0; i < n; i++) list[i] = names[i];
    TcListing ls;
    tc_listing_init(&ls, list, n);
    qdisc_listing(&ls);
    for (int32_t i = 0; i < n; i++) {
        take_sysfs(static_cast<uint32_t>(i), names[i], dt);
        take_qdisc(static_cast<uint32_t>(i), &ls, i);
    }
}
