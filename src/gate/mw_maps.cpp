#include "gate/mw_maps.hpp"

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
int g_mw_fd_ports = -1;
int g_mw_fd_stats = -1;
int g_mw_ncpu = 0;
mw_drop4_key g_mw_pfx[256];
int g_mw_npfx = 0;
uint16_t g_mw_port[64];
int g_mw_nport = 0;

static_assert(sizeof(mw_drop4_key) == 8, "prefix map key is the 8-byte LPM form");
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
    if (kfile_str(buf, sizeof buf, "/sys/devices/system/cpu/possible") == 0) n = mw_count_cpu_list(buf);
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

static void open_pin(int *fd, const char *name, uint32_t type, uint32_t key_size, uint32_t value_size)
{
    if (*fd >= 0) return;
    char path[320];
    std::snprintf(path, sizeof path, "%s/%s", mw_pin_dir(), name);
    BpfAttr u = attr_zero();
    u.a.pathname = reinterpret_cast<uintptr_t>(path);
    int r = static_cast<int>(sys_bpf(BPF_OBJ_GET, &u));
    if (r >= 0 && !layout_ok(r, type, key_size, value_size)) {
        ::close(r);
        r = -1;
    }
    *fd = r;
}

void mw_open_maps()
{
    open_pin(&g_mw_fd_drop, MW_MAP_DROP4, 0, sizeof(mw_drop4_key), 0);
    open_pin(&g_mw_fd_ports, MW_MAP_DPORTS, 0, sizeof(uint16_t), 0);
    open_pin(&g_mw_fd_stats, MW_MAP_STATS, BPF_MAP_TYPE_PERCPU_ARRAY, sizeof(uint32_t), sizeof(uint64_t));
}

void mw_close_maps()
{
    for (int *fd : {&g_mw_fd_drop, &g_mw_fd_ports, &g_mw_fd_stats}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

static void not_readable()
{
    sb_addf(&PAGES[3], "%spinned maps not readable under %s%s\n", YEL, MW_PIN_DIR, RST);
}

void mw_stat_line(const char *label, const char *name, uint64_t total, int alerting)
{
    StrBuf *b = &PAGES[3];
    Counter *c = ctr_get(name);
    int64_t growth = 0;
    if (!c->seen) {
        c->first = c->prev = c->cur = total;
        c->seen = 1;
    } else {
        growth = static_cast<int64_t>(total - c->prev);
        c->cur = total;
    }
    if (growth <= 0) {
        sb_addf(b, "  %-14s %s%llu", label, DIM, static_cast<unsigned long long>(total));
    } else {
        sb_addf(b, "  %-14s %s%llu", label, alerting ? RED : YEL, static_cast<unsigned long long>(total));
        sb_addf(b, " (+%lld/%ds)", static_cast<long long>(growth), g_interval);
    }
    sb_addf(b, "%s\n", RST);
    if (growth > 0 && alerting) alert("moatwall %s +%lld", label, static_cast<long long>(growth));
}

struct StatRow {
    uint32_t key;
    const char *name;
    const char *label;
    int alerting;
};
static const StatRow STAT_ROWS[] = {
    {MW_STAT_PASS, "mw.pass", "passed", 0},
    {MW_STAT_NONIP, "mw.nonip", "passed non-ip", 0},
    {MW_STAT_DROPSRC, "mw.dropsrc", "dropped src", 0},
    {MW_STAT_DROPPORT, "mw.dropport", "dropped dport", 0},
    {MW_STAT_MALFORMED, "mw.malformed", "malformed", 1},
};

void mw_stats_block()
{
    // Sized once for the larger of our count and the system's, so a miscounted
    // fixture or file can never let the kernel write past it.
    static uint64_t *vals = nullptr;
    static long nvals = 0;
    if (g_mw_fd_stats < 0) {
        not_readable();
        return;
    }
    if (!vals) {
        long sys = sysconf(_SC_NPROCESSORS_CONF);
        nvals = sys > mw_cpu_count() && sys <= MAX_CPUS ? sys : mw_cpu_count();
        vals = static_cast<uint64_t *>(std::calloc(static_cast<size_t>(nvals), sizeof(uint64_t)));
        if (!vals) {
            not_readable();
            return;
        }
    }
    uint64_t totals[5];
    for (uint32_t key = 0; key < 5; key++) {
        BpfAttr u = attr_zero();
        u.a.map_fd = static_cast<uint32_t>(g_mw_fd_stats);
        u.a.key = reinterpret_cast<uintptr_t>(&key);
        u.a.value = reinterpret_cast<uintptr_t>(vals);
        if (sys_bpf(BPF_MAP_LOOKUP_ELEM, &u) != 0) {
            mw_close_maps();
            not_readable();
            return;
        }
        uint64_t sum = 0;
        for (int i = 0; i < g_mw_ncpu; i++) sum += vals[i];
        totals[key] = sum;
    }
    for (const StatRow &r : STAT_ROWS) mw_stat_line(r.label, r.name, totals[r.key], r.alerting);
}

// Walks the keys of one map into out, at most cap of them; returns how many.
static int walk_keys(int fd, void *out, size_t key_size, int cap)
{
    if (fd < 0) return 0;
    int n = 0;
    char *base = static_cast<char *>(out);
    while (n < cap) {
        BpfAttr u = attr_zero();
        u.a.map_fd = static_cast<uint32_t>(fd);
        u.a.key = n == 0 ? 0 : reinterpret_cast<uintptr_t>(base + (n - 1) * key_size);
        u.a.next_key = reinterpret_cast<uintptr_t>(base + n * key_size);
        if (sys_bpf(BPF_MAP_GET_NEXT_KEY, &u) != 0) break;
        n++;
    }
    return n;
}

void mw_read_lists()
{
    g_mw_npfx = walk_keys(g_mw_fd_drop, g_mw_pfx, sizeof g_mw_pfx[0], 256);
    g_mw_nport = walk_keys(g_mw_fd_ports, g_mw_port, sizeof g_mw_port[0], 64);
}
