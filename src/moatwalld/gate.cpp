#include "moatwalld/gate.hpp"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <linux/if_link.h>
#include <sys/socket.h>
#include <net/if.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

Gate g_gate = {{}, {}, nullptr, -1, 0, -1, -1, -1, -1, -1, {}, 0, -1};

static const char LINK_PIN[] = "moatwall_link";
static const uint32_t BPF_FS_MAGIC_ = 0xcafe4a11;

static void errf(char *err, size_t errlen, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
static void errf(char *err, size_t errlen, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
}

static void link_pin_path(char *out, size_t cap, const char *suffix)
{
    snprintf(out, cap, "%s/%s%s", g_gate.pindir, LINK_PIN, suffix);
}

// A test hook: MOATWALLD_TEST_DIE_AT_STEP=N kills the daemon right after step
// N of a link replacement, as a crash or a power cut would.
static void step_done(int n)
{
    static const char *at = getenv("MOATWALLD_TEST_DIE_AT_STEP");
    if (at && atoi(at) == n) raise(SIGKILL);
}

static bool on_bpffs(const char *path)
{
    struct statfs st;
    return statfs(path, &st) == 0 && static_cast<uint32_t>(st.f_type) == BPF_FS_MAGIC_;
}

// The pin directory's parent must be a BPF file system (normally /sys/fs/bpf,
// which an early boot may not have mounted yet).
static int ensure_pindir(char *err, size_t errlen)
{
    char parent[256];
    snprintf(parent, sizeof parent, "%s", g_gate.pindir);
    char *slash = strrchr(parent, '/');
    if (!slash || slash == parent) {
        errf(err, errlen, "pin directory must be below a bpf mount: %s", g_gate.pindir);
        return -1;
    }
    *slash = '\0';
    if (!on_bpffs(parent)) {
        mkdir(parent, 0700);
        if (mount("bpf", parent, "bpf", 0, "mode=0700") != 0) {
            errf(err, errlen, "cannot mount bpffs on %s: %s", parent, strerror(errno));
            return -1;
        }
    }
    if (mkdir(g_gate.pindir, 0700) != 0 && errno != EEXIST) {
        errf(err, errlen, "cannot create %s: %s", g_gate.pindir, strerror(errno));
        return -1;
    }
    return 0;
}

static int link_ifindex(int link_fd, uint32_t *prog_id)
{
    bpf_link_info info;
    memset(&info, 0, sizeof info);
    uint32_t len = sizeof info;
    if (bpf_obj_get_info_by_fd(link_fd, &info, &len) != 0 || info.type != BPF_LINK_TYPE_XDP) return 0;
    if (prog_id) *prog_id = info.prog_id;
    return static_cast<int>(info.xdp.ifindex);
}

// Which mode runs prog_id on ifindex: "xdpdrv", "xdpgeneric", "xdpoffload" or "".
static const char *mode_of(int ifindex, uint32_t prog_id)
{
    bpf_xdp_query_opts q;
    memset(&q, 0, sizeof q);
    q.sz = sizeof q;
    if (prog_id == 0 || bpf_xdp_query(ifindex, 0, &q) != 0) return "";
    if (q.drv_prog_id == prog_id) return "xdpdrv";
    if (q.skb_prog_id == prog_id) return "xdpgeneric";
    if (q.hw_prog_id == prog_id) return "xdpoffload";
    if (q.prog_id == prog_id) {
        if (q.attach_mode == XDP_ATTACHED_SKB) return "xdpgeneric";
        if (q.attach_mode == XDP_ATTACHED_HW) return "xdpoffload";
        return "xdpdrv";
    }
    return "";
}

static void drop_link()
{
    char pin[300];
    link_pin_path(pin, sizeof pin, "");
    unlink(pin);
    if (g_gate.link_fd >= 0) close(g_gate.link_fd);
    g_gate.link_fd = -1;
    g_gate.mode[0] = '\0';
}

int gate_attached()
{
    if (g_gate.link_fd < 0) return 0;
    uint32_t pid = 0;
    int ifx = link_ifindex(g_gate.link_fd, &pid);
    char name[IF_NAMESIZE];
    // A link whose device went away is defunct: the gate is no longer attached.
    if (ifx <= 0 || !if_indextoname(static_cast<unsigned>(ifx), name)) {
        drop_link();
        return 0;
    }
    snprintf(g_gate.iface, sizeof g_gate.iface, "%s", name);
    g_gate.run_prog_id = pid;
    snprintf(g_gate.mode, sizeof g_gate.mode, "%s", mode_of(ifx, pid));
    if (!g_gate.mode[0]) snprintf(g_gate.mode, sizeof g_gate.mode, "xdp");
    return 1;
}

int gate_lock(const char *pindir, char *err, size_t errlen)
{
    if (g_gate.lock_fd >= 0) return 0;
    snprintf(g_gate.pindir, sizeof g_gate.pindir, "%s", pindir);
    if (ensure_pindir(err, errlen) != 0) return -1;
    int fd = open(g_gate.pindir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        errf(err, errlen, "cannot open %s: %s", g_gate.pindir, strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        errf(err, errlen, "another moatwalld holds %s%s", g_gate.pindir,
             errno == EWOULDBLOCK ? "" : " (cannot lock it)");
        close(fd);
        return -1;
    }
    g_gate.lock_fd = fd;
    return 0;
}

// A crash between pinning a new link and renaming it over the old pin leaves
// the new one under the temporary name, attached: finish the replacement (the
// old link, pinned no more, detaches itself), or drop a link that is defunct.
static void finish_replacement()
{
    char tmp[300], pin[300];
    link_pin_path(tmp, sizeof tmp, "_new");
    link_pin_path(pin, sizeof pin, "");
    int fd = bpf_obj_get(tmp);
    if (fd < 0) return;
    char name[IF_NAMESIZE];
    int ifx = link_ifindex(fd, nullptr);
    if (ifx > 0 && if_indextoname(static_cast<unsigned>(ifx), name)) {
        if (rename(tmp, pin) == 0) fprintf(stderr, "moatwalld: finished moving the gate to %s\n", name);
    } else {
        unlink(tmp);
    }
    close(fd);
}

int gate_open(const char *pindir, const char *objpath, const char *iface, char *err, size_t errlen)
{
    if (gate_lock(pindir, err, errlen) != 0) return -1;
    snprintf(g_gate.iface, sizeof g_gate.iface, "%s", iface);

    bpf_object_open_opts oo;
    memset(&oo, 0, sizeof oo);
    oo.sz = sizeof oo;
    oo.pin_root_path = g_gate.pindir;
    bpf_object *obj = bpf_object__open_file(objpath, &oo);
    if (!obj) {
        errf(err, errlen, "cannot open %s: %s", objpath, strerror(errno));
        return -1;
    }
    if (bpf_object__load(obj) != 0) {
        errf(err, errlen, "cannot load %s (maps under %s kept as they are): %s", objpath, g_gate.pindir,
             strerror(errno));
        bpf_object__close(obj);
        return -1;
    }
    g_gate.obj = obj;
    g_gate.prog_fd = bpf_program__fd(bpf_object__find_program_by_name(obj, "moatwall_xdp"));
    g_gate.fd_drop4 = bpf_map__fd(bpf_object__find_map_by_name(obj, MW_MAP_DROP4));
    g_gate.fd_drop6 = bpf_map__fd(bpf_object__find_map_by_name(obj, MW_MAP_DROP6));
    g_gate.fd_ports = bpf_map__fd(bpf_object__find_map_by_name(obj, MW_MAP_DPORTS));
    g_gate.fd_stats = bpf_map__fd(bpf_object__find_map_by_name(obj, MW_MAP_STATS));
    bpf_prog_info pi;
    memset(&pi, 0, sizeof pi);
    uint32_t len = sizeof pi;
    if (g_gate.prog_fd < 0 || bpf_obj_get_info_by_fd(g_gate.prog_fd, &pi, &len) != 0) {
        errf(err, errlen, "program moatwall_xdp missing from %s", objpath);
        gate_close();
        return -1;
    }
    g_gate.prog_id = pi.id;

    finish_replacement();
    char pin[300];
    link_pin_path(pin, sizeof pin, "");
    int lfd = bpf_obj_get(pin);
    if (lfd >= 0) {
        g_gate.link_fd = lfd;
        // An upgrade or restart: the gate keeps dropping, now with this program.
        if (gate_attached() && bpf_link_update(lfd, g_gate.prog_fd, nullptr) != 0)
            fprintf(stderr, "moatwalld: keeping the running program on %s: %s\n", g_gate.iface, strerror(errno));
        gate_attached();
    }
    return 0;
}

void gate_close()
{
    if (g_gate.link_fd >= 0) close(g_gate.link_fd);
    g_gate.link_fd = -1;
    if (g_gate.obj) bpf_object__close(g_gate.obj);
    g_gate.obj = nullptr;
    g_gate.prog_fd = g_gate.fd_drop4 = g_gate.fd_drop6 = g_gate.fd_ports = g_gate.fd_stats = -1;
    if (g_gate.lock_fd >= 0) close(g_gate.lock_fd);
    g_gate.lock_fd = -1;
}

// Native first, generic when the driver has no XDP support.
static int attach_to(const char *ifname, int *link_out, char *err, size_t errlen)
{
    unsigned ifx = if_nametoindex(ifname);
    if (ifx == 0) {
        errf(err, errlen, "no such interface: %s", ifname);
        return -1;
    }
    bpf_link_create_opts lo;
    memset(&lo, 0, sizeof lo);
    lo.sz = sizeof lo;
    lo.flags = XDP_FLAGS_DRV_MODE;
    int fd = bpf_link_create(g_gate.prog_fd, static_cast<int>(ifx), BPF_XDP, &lo);
    if (fd < 0) {
        lo.flags = XDP_FLAGS_SKB_MODE;
        fd = bpf_link_create(g_gate.prog_fd, static_cast<int>(ifx), BPF_XDP, &lo);
    }
    if (fd < 0) {
        errf(err, errlen, "cannot attach to %s: %s", ifname, strerror(errno));
        return -1;
    }
    *link_out = fd;
    step_done(1);
    return 0;
}

// Pins the new link over the old one in one rename, so a crash in between
// leaves one pinned link, never none.
static int pin_link(int fd, char *err, size_t errlen)
{
    char tmp[300], pin[300];
    link_pin_path(tmp, sizeof tmp, "_new"); // bpffs refuses names with a dot
    link_pin_path(pin, sizeof pin, "");
    unlink(tmp);
    int rc = bpf_obj_pin(fd, tmp);
    step_done(2);
    if (rc != 0 || rename(tmp, pin) != 0) {
        errf(err, errlen, "cannot pin the link under %s: %s", g_gate.pindir, strerror(errno));
        unlink(tmp);
        return -1;
    }
    step_done(3);
    return 0;
}

int gate_attach(char *err, size_t errlen)
{
    if (gate_attached()) return 0;
    int fd;
    if (attach_to(g_gate.iface, &fd, err, errlen) != 0) return -1;
    if (pin_link(fd, err, errlen) != 0) {
        bpf_link_detach(fd);
        close(fd);
        return -1;
    }
    g_gate.link_fd = fd;
    gate_attached();
    return 0;
}

int gate_detach(char *, size_t)
{
    if (g_gate.link_fd >= 0) bpf_link_detach(g_gate.link_fd);
    drop_link();
    return 0;
}

int gate_move(const char *ifname, char *err, size_t errlen)
{
    if (if_nametoindex(ifname) == 0) {
        errf(err, errlen, "no such interface: %s", ifname);
        return -1;
    }
    if (!gate_attached()) {
        snprintf(g_gate.iface, sizeof g_gate.iface, "%s", ifname);
        return 0;
    }
    if (strcmp(ifname, g_gate.iface) == 0) return 0;
    int fd;
    if (attach_to(ifname, &fd, err, errlen) != 0) return -1;
    if (pin_link(fd, err, errlen) != 0) {
        bpf_link_detach(fd);
        close(fd);
        return -1;
    }
    bpf_link_detach(g_gate.link_fd);
    step_done(4);
    close(g_gate.link_fd);
    g_gate.link_fd = fd;
    gate_attached();
    return 0;
}

static int map_err(const char *what, char *err, size_t errlen)
{
    if (errno == E2BIG || errno == ENOSPC || errno == ENOMEM)
        errf(err, errlen, "%s list full", what);
    else
        errf(err, errlen, "%s map update failed: %s", what, strerror(errno));
    return -1;
}

static int prefix_map(const MwPrefix &p) { return p.family == AF_INET ? g_gate.fd_drop4 : g_gate.fd_drop6; }

int gate_block(const MwPrefix &p, char *err, size_t errlen)
{
    uint8_t one = 1;
    mw_drop4_key k4 = prefix_key4(p);
    mw_drop6_key k6 = prefix_key6(p);
    const void *key = p.family == AF_INET ? static_cast<const void *>(&k4) : &k6;
    if (bpf_map_update_elem(prefix_map(p), key, &one, BPF_ANY) != 0) return map_err("prefix", err, errlen);
    return 0;
}

int gate_unblock(const MwPrefix &p, char *err, size_t errlen)
{
    mw_drop4_key k4 = prefix_key4(p);
    mw_drop6_key k6 = prefix_key6(p);
    const void *key = p.family == AF_INET ? static_cast<const void *>(&k4) : &k6;
    if (bpf_map_delete_elem(prefix_map(p), key) != 0) {
        char t[MW_PREFIX_TEXT];
        prefix_fmt(p, t);
        errf(err, errlen, "not blocked: %s", t);
        return -1;
    }
    return 0;
}

int gate_drop_port(uint16_t port, char *err, size_t errlen)
{
    uint8_t one = 1;
    if (bpf_map_update_elem(g_gate.fd_ports, &port, &one, BPF_ANY) != 0) return map_err("port", err, errlen);
    return 0;
}

int gate_undrop_port(uint16_t port, char *err, size_t errlen)
{
    if (bpf_map_delete_elem(g_gate.fd_ports, &port) != 0) {
        errf(err, errlen, "port not dropped: %u", port);
        return -1;
    }
    return 0;
}

void gate_each_prefix(void (*fn)(const MwPrefix &p, void *ctx), void *ctx)
{
    mw_drop4_key k4, *prev4 = nullptr;
    while (bpf_map_get_next_key(g_gate.fd_drop4, prev4, &k4) == 0) fn(prefix_from4(k4), ctx), prev4 = &k4;
    mw_drop6_key k6, *prev6 = nullptr;
    while (bpf_map_get_next_key(g_gate.fd_drop6, prev6, &k6) == 0) fn(prefix_from6(k6), ctx), prev6 = &k6;
}

int gate_list(char *buf, size_t cap, int max)
{
    int live = gate_attached();
    struct if_nameindex *ifs = if_nameindex();
    size_t len = strlen(buf);
    int n = 0;
    for (struct if_nameindex *i = ifs; i && i->if_index != 0 && n < max; i++) {
        const char *m = mode_of(static_cast<int>(i->if_index), live ? g_gate.run_prog_id : g_gate.prog_id);
        if (!m[0]) continue;
        int w = snprintf(buf + len, cap - len, "gate %.15s %s\n", i->if_name, m);
        if (w < 0 || static_cast<size_t>(w) >= cap - len) break;
        len += static_cast<size_t>(w);
        n++;
    }
    if (ifs) if_freenameindex(ifs);
    return n;
}
