#include "gate/mw_maps.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <linux/bpf.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/kernel_file.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "gate/mw_client.hpp"

int g_mw_fd_drop = -1;
int g_mw_fd_drop6 = -1;
int g_mw_fd_ports = -1;
int g_mw_fd_stats = -1;
int g_mw_ncpu = 0;
MwPrefix g_mw_pfx[MW_MAX_PFX];
int g_mw_npfx = 0;
int g_mw_npfx_all = 0;
uint16_t g_mw_port[MW_MAX_PORT];
int g_mw_nport = 0;
int g_mw_nport_all = 0;

static_assert(sizeof(mw_drop4_key) == 8, "IPv4 prefix map key is the 8-byte LPM form");
static_assert(sizeof(mw_drop6_key) == 20, "IPv6 prefix map key is the 20-byte LPM form");
// The attribute block goes to the kernel as 168 zeroed bytes, whatever size
// the installed header gives the union.
union BpfAttr {
    unsigned char raw[168 > sizeof(bpf_attr) ? 168 : sizeof(bpf_attr)];
    bpf_attr a;
};

static long sys_bpf(int cmd, BpfAttr *attr) { return syscall(__NR_bpf, cmd, attr, 168); }

static BpfAttr attr_zero()
{
    BpfAttr u;
    std::memset(&u, 0, sizeof u);
    return u;
}

// No kernel has more possible CPUs than this; a bigger count is a broken file.
constexpr long MAX_CPUS = 8192;

// "0", "0-7", "0-3,8-11": every CPU of every range. -1 for any other form.
long mw_count_cpu_list(const char *s)
{
    long total = 0;
    for (;;) {
        char *end;
        long a = std::strtol(s, &end, 10);
        if (end == s || a < 0) return -1;
        long b = a;
        if (*end == '-') {
            s = end + 1;
            b = std::strtol(s, &end, 10);
            if (end == s || b < a) return -1;
        }
        if (b - a >= MAX_CPUS) return -1;
        total += b - a + 1;
        if (total > MAX_CPUS) return -1;
        if (*end != ',') return (*end == '\0' || *end == '\n') ? total : -1;
        s = end + 1;
    }
}

int mw_cpu_count()
{
    if (g_mw_ncpu > 0) return g_mw_ncpu;
    char buf[64];
    long n = -1;
    if (kfile_str(buf, sizeof buf, "%s", CPU_POSSIBLE) == 0) n = mw_count_cpu_list(buf);
    if (n <= 0) n = sysconf(_SC_NPROCESSORS_CONF);
    g_mw_ncpu = n > 0 && n <= MAX_CPUS ? static_cast<int>(n) : 1;
    return g_mw_ncpu;
}

// A pin of the right name but another layout would make the kernel write past
// our keys or value area: such a map is not taken.
static bool layout_ok(int fd, uint32_t type, uint32_t key_size, uint32_t value_size)
{
    bpf_map_info info{};
    BpfAttr u = attr_zero();
    u.a.info.bpf_fd = static_cast<uint32_t>(fd);
    u.a.info.info_len = sizeof info;
    u.a.info.info = reinterpret_cast<uintptr_t>(&info);
    if (sys_bpf(BPF_OBJ_GET_INFO_BY_FD, &u) != 0) return false;
    return (type == 0 || info.type == type) && info.key_size == key_size &&
           (value_size == 0 || info.value_size == value_size);
}

// The pins and the layout each must have; type or value size 0: any.
struct Pin {
    int *fd;
    const char *name;
    uint32_t type, key_size, value_size;
    int err;  // of the last try: 0 open, -1 another layout, else the errno
};
static Pin g_pins[] = {
    {&g_mw_fd_drop, MW_MAP_DROP4, 0, sizeof(mw_drop4_key), 0, 0},
    {&g_mw_fd_drop6, MW_MAP_DROP6, 0, sizeof(mw_drop6_key), 0, 0},
    {&g_mw_fd_ports, MW_MAP_DPORTS, 0, sizeof(uint16_t), 0, 0},
    {&g_mw_fd_stats, MW_MAP_STATS, BPF_MAP_TYPE_PERCPU_ARRAY, sizeof(uint32_t), sizeof(uint64_t), 0},
};

static void open_pin(Pin *p)
{
    if (*p->fd >= 0) return;
    char path[320];
    std::snprintf(path, sizeof path, "%s/%s", mw_pin_dir(), p->name);
    BpfAttr u = attr_zero();
    u.a.pathname = reinterpret_cast<uintptr_t>(path);
    int r = static_cast<int>(sys_bpf(BPF_OBJ_GET, &u));
    p->err = r < 0 ? errno : 0;
    if (r >= 0 && !layout_ok(r, p->type, p->key_size, p->value_size)) {
        ::close(r);
        r = -1;
        p->err = -1;
    }
    *p->fd = r;
}

void mw_open_maps()
{
    for (Pin &p : g_pins) open_pin(&p);
}

const char *mw_maps_missing(char *why, size_t size)
{
    for (const Pin &p : g_pins) {
        if (*p.fd >= 0) continue;
        std::snprintf(why, size, "%s", p.err == -1 ? "not the gate's map layout" : std::strerror(p.err));
        return p.name;
    }
    return nullptr;
}

void mw_close_maps()
{
    for (int *fd : {&g_mw_fd_drop, &g_mw_fd_drop6, &g_mw_fd_ports, &g_mw_fd_stats}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

static void not_readable()
{
    sb_addf(&PAGES[3], "%spinned maps not readable under %s%s\n", YEL, MW_PIN_DIR, RST);
}

MwStats g_mw_stats;

// The growth since the previous sample; the first sight of a counter has none.
static int64_t stat_growth(const char *name, uint64_t total)
{
    Counter *c = ctr_get(name);
    if (!c->seen) {
        c->first = c->prev = c->cur = total;
        c->seen = 1;
        return 0;
    }
    c->cur = total;
    return static_cast<int64_t>(total - c->prev);
}

static void stat_line(const MwStatRow &r, uint64_t total, int64_t growth)
{
    StrBuf *b = &PAGES[3];
    if (growth <= 0) {
        sb_addf(b, "  %-14s %s%llu", r.label, DIM, static_cast<unsigned long long>(total));
    } else {
        sb_addf(b, "  %-14s %s%llu", r.label, r.alerting ? RED : YEL, static_cast<unsigned long long>(total));
        sb_addf(b, " (+%lld/%ds)", static_cast<long long>(growth), g_interval);
    }
    sb_addf(b, "%s\n", RST);
}

// Sums one key over the CPUs into *total; false when the lookup failed.
static bool read_stat(uint32_t key, uint64_t *total)
{
    // Sized once for the larger of our count and the system's, so a miscounted
    // fixture or file can never let the kernel write past it.
    static uint64_t *vals = nullptr;
    if (!vals) {
        long sys = sysconf(_SC_NPROCESSORS_CONF);
        long n = sys > mw_cpu_count() && sys <= MAX_CPUS ? sys : mw_cpu_count();
        vals = static_cast<uint64_t *>(std::calloc(static_cast<size_t>(n), sizeof(uint64_t)));
        if (!vals) return false;
    }
    BpfAttr u = attr_zero();
    u.a.map_fd = static_cast<uint32_t>(g_mw_fd_stats);
    u.a.key = reinterpret_cast<uintptr_t>(&key);
    u.a.value = reinterpret_cast<uintptr_t>(vals);
    if (sys_bpf(BPF_MAP_LOOKUP_ELEM, &u) != 0) {
        mw_close_maps();
        return false;
    }
    uint64_t sum = 0;
    for (int i = 0; i < g_mw_ncpu; i++) sum += vals[i];
    *total = sum;
    return true;
}

void mw_stats_read()
{
    g_mw_stats.readable = g_mw_fd_stats >= 0;
    for (int i = 0; i < MW_N_STATS && g_mw_stats.readable; i++)
        g_mw_stats.readable = read_stat(MW_STAT_ROWS[i].key, &g_mw_stats.total[i]);
}

void mw_stats_block_again()
{
    if (!g_mw_stats.taken) return mw_stats_block();
    if (!g_mw_stats.readable) return not_readable();
    for (int i = 0; i < MW_N_STATS; i++) stat_line(MW_STAT_ROWS[i], g_mw_stats.total[i], g_mw_stats.growth[i]);
}

void mw_stats_block()
{
    g_mw_stats.taken = true;
    if (!g_mw_stats.readable) return not_readable();
    for (int i = 0; i < MW_N_STATS; i++) {
        const MwStatRow &r = MW_STAT_ROWS[i];
        g_mw_stats.growth[i] = stat_growth(r.name, g_mw_stats.total[i]);
        stat_line(r, g_mw_stats.total[i], g_mw_stats.growth[i]);
        if (g_mw_stats.growth[i] > 0 && r.alerting)
            alert("moatwall %s +%lld", r.label, static_cast<long long>(g_mw_stats.growth[i]));
    }
}

// A walk restarts from the first key when the one it stands on is deleted
// under it, so it is bounded well above any capacity the gate's maps have.
constexpr int MW_WALK_MAX = 1 << 17;

// Walks every key of one map, handing each to take; returns how many there were.
template <class Key, class Take> static int walk_keys(int fd, Take take)
{
    if (fd < 0) return 0;
    Key keys[2];
    int n = 0;
    while (n < MW_WALK_MAX) {
        BpfAttr u = attr_zero();
        u.a.map_fd = static_cast<uint32_t>(fd);
        u.a.key = n == 0 ? 0 : reinterpret_cast<uintptr_t>(&keys[(n - 1) & 1]);
        u.a.next_key = reinterpret_cast<uintptr_t>(&keys[n & 1]);
        if (sys_bpf(BPF_MAP_GET_NEXT_KEY, &u) != 0) break;
        take(keys[n & 1]);
        n++;
    }
    return n;
}

template <class Key> static void take_prefix(const Key &k, int family)
{
    if (g_mw_npfx >= MW_MAX_PFX) return;
    MwPrefix &p = g_mw_pfx[g_mw_npfx++];
    p = MwPrefix{family, k.prefixlen, {}};
    std::memcpy(p.addr, k.addr, sizeof k.addr);
}

void mw_read_lists()
{
    g_mw_npfx = g_mw_nport = 0;
    g_mw_npfx_all = walk_keys<mw_drop4_key>(g_mw_fd_drop, [](const mw_drop4_key &k) { take_prefix(k, AF_INET); });
    g_mw_npfx_all += walk_keys<mw_drop6_key>(g_mw_fd_drop6, [](const mw_drop6_key &k) { take_prefix(k, AF_INET6); });
    g_mw_nport_all = walk_keys<uint16_t>(g_mw_fd_ports, [](uint16_t port) {
        if (g_mw_nport < MW_MAX_PORT) g_mw_port[g_mw_nport++] = port;
    });
}

void mw_prefix_text(const MwPrefix &p, char *out, size_t size)
{
    char addr[INET6_ADDRSTRLEN];
    if (!inet_ntop(p.family, p.addr, addr, sizeof addr)) std::snprintf(addr, sizeof addr, "?");
    std::snprintf(out, size, "%s/%u", addr, p.prefixlen);
}
