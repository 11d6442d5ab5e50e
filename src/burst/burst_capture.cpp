// One capture: its directory, the trigger for the window, tcpdump, and the
// files and ring entry filed at the end.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "burst/burst_state.hpp"
#include "burst/burst_store.hpp"
#include "burst/trace_classify.hpp"
#include "burst/trace_instance.hpp"
#include "core/alerts.hpp"
#include "core/child_groups.hpp"
#include "core/kernel_file.hpp"
#include "core/line_reader.hpp"
#include "core/settings.hpp"
#include "core/unique_fd.hpp"
#include "core/vis_text.hpp"

char g_burst_dir[96] = "";
int32_t g_burst_state = 0;
double g_burst_t0 = 0;
int64_t g_burst_trigdelta = 0;
uint64_t g_burst_startval = 0;
int32_t g_tcpdump_pid = -1;
int32_t g_n_bursts = 0;
BurstEntry g_bursts[BURST_RING];

bool burst_capturing() { return g_burst_state == 1; }

// store_create as a text stream; nullptr when the file cannot be made.
static FILE *stream_new(CaptureFile f)
{
    int fd = store_create(f);
    if (fd < 0) return nullptr;
    FILE *s = ::fdopen(fd, "w");
    if (!s) ::close(fd);
    return s;
}

static UniqueFd g_pcapfd;     // burst.pcap as tcpdump writes it; -1 when there is none
static char g_dir_note[96];   // why the capture writes no files; empty when it does

// tcpdump drops to its own user and writes through the descriptor we made, so
// the file is root's and 0600 whoever writes into it. timeout bounds its run in
// its own command line, and the death signal ends it with us: a monitor killed
// with SIGKILL leaves no tcpdump behind (tcpdump itself loses a death signal
// when it changes user, timeout does not).
static void start_tcpdump()
{
    g_tcpdump_pid = -1;
    g_pcapfd.reset(store_create(CF_PCAP));
    int null = dev_null_fd();
    if (!g_pcapfd.ok() || null < 0) return;
    char secs[16], snap[16], count[16];
    std::snprintf(secs, sizeof secs, "%d", g_burst_secs + 2);
    std::snprintf(snap, sizeof snap, "%d", PCAP_SNAPLEN);
    std::snprintf(count, sizeof count, "%d", PCAP_PACKETS);
    // Packets are handed over and written one by one, so stopping tcpdump
    // early loses none that it had already seen.
    const char *argv[] = {"timeout", "-k", "1", secs, "tcpdump", "-i", g_burst_if, "-n", "-U", "--immediate-mode",
                          "-s", snap, "-c", count, "-w", "-", nullptr};
    pid_t pid = child_spawn(argv, g_pcapfd.fd, null, SIGTERM);
    g_tcpdump_pid = pid > 0 ? pid : -1;
}

void burst_begin(int64_t delta, time_t now)
{
    store_open(now, g_burst_dir, sizeof g_burst_dir, g_dir_note, sizeof g_dir_note);

    trace_clear();
    trace_attach();

    g_tcpdump_pid = -1;
    if (g_burst_pcap == 1 && store_ok()) start_tcpdump();

    g_burst_state = 1;
    g_burst_t0 = mono_secs();
    g_burst_trigdelta = delta;
    alert("BURST +%lld on %s (capturing)", static_cast<long long>(delta), vis_ifname(g_burst_if).s);
}

static void copy_trace()
{
    UniqueFd src(::open(trace_file(), O_RDONLY | O_CLOEXEC));
    UniqueFd dst(store_create(CF_STACKS));
    if (!src.ok() || !dst.ok()) return;
    static char chunk[TRACE_CHUNK];
    size_t copied = 0;
    for (;;) {
        ssize_t n = ::read(src.fd, chunk, sizeof chunk);
        if (n <= 0 || copied > TRACE_COPY_MAX) break;
        if (::write(dst.fd, chunk, static_cast<size_t>(n)) != n) break;
        copied += static_cast<size_t>(n);
    }
}

// Whether the child has ended; reap takes its exit status, otherwise it stays to be waited for.
static bool ended(pid_t pid, bool reap)
{
    siginfo_t si{};
    int how = WEXITED | WNOHANG | (reap ? 0 : WNOWAIT);
    return ::waitid(P_PID, static_cast<id_t>(pid), &si, how) == 0 && si.si_pid == pid;
}

// A tcpdump stopped before it wrote its file header would leave an empty,
// unreadable pcap: a window cut short gives it up to a second to start.
static void await_pcap_header(pid_t pid)
{
    struct stat st {};
    for (int i = 0; i < 100; i++, ::usleep(10000))
        if (::fstat(g_pcapfd.fd, &st) != 0 || st.st_size > 0 || ended(pid, false)) return;
}

// SIGTERM (tcpdump writes out what it holds), then a bounded wait: a tcpdump
// that ignores it must not hold the loop.
static void stop_tcpdump()
{
    if (g_tcpdump_pid <= 0) return;
    pid_t pid = g_tcpdump_pid;
    await_pcap_header(pid);
    ::kill(-pid, SIGTERM);
    ::kill(pid, SIGTERM);
    bool gone = false;
    for (int i = 0; i < 100 && !(gone = ended(pid, true)); i++) ::usleep(10000);
    if (!gone) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    child_group_remove(pid);
    g_tcpdump_pid = -1;
    g_pcapfd.reset();
}

// Classifies the copy, or the trace itself when the capture writes no files,
// and writes reasons.txt; false when neither can be read.
static bool classify(BurstEntry *e)
{
    UniqueFd in(store_ok() ? store_read(CF_STACKS) : ::open(trace_file(), O_RDONLY | O_CLOEXEC));
    if (!in.ok()) return false;
    StackTally st;
    static ReasonTally rt;
    rt.n = 0;
    rt.other = 0;
    LineReader lr;
    lr_init(&lr, in.fd);
    char line[512];
    while (lr_getline(&lr, line, sizeof line) >= 0) {
        stack_tally_line(&st, line);
        reason_tally_line(&rt, line);
    }
    e->n_stacks = st.n_stacks;
    txpath_summary(st, e->txpath, sizeof e->txpath);
    if (FILE *f = stream_new(CF_REASONS)) {
        reasons_write(&rt, f);
        std::fclose(f);
    }
    return true;
}

void burst_finish()
{
    if (store_ok()) copy_trace();
    bool attached = g_tracedir[0] != '\0' && trace_detach() != 0;
    stop_tcpdump();
    uint64_t end = sysstat(g_burst_if, "tx_dropped");

    BurstEntry *e = &g_bursts[g_n_bursts % BURST_RING];
    std::memset(e, 0, sizeof *e);
    time_t now = ::time(nullptr);
    tm lt{};
    localtime_r(&now, &lt);
    std::strftime(e->when, sizeof e->when, "%H:%M:%S", &lt);
    std::snprintf(e->dir, sizeof e->dir, "%s", g_burst_dir);
    e->trigger_delta = g_burst_trigdelta;
    e->window_drops = static_cast<int64_t>(end - g_burst_startval);
    if (classify(e) && e->txpath[0] == '\0')
        std::snprintf(e->txpath, sizeof e->txpath, "%s", "no tx-path frames (hw counter / rx-side only)");
    if (attached)
        std::snprintf(e->note, sizeof e->note, "%s", "stack trigger could NOT be removed - check kfree_skb/trigger");
    else
        std::snprintf(e->note, sizeof e->note, "%s", g_dir_note);
    g_n_bursts++;

    if (FILE *f = stream_new(CF_COUNTERS)) {
        std::fprintf(f, "iface=%s trigger_delta=%lld start=%llu end=%llu window_drops=%lld\n", g_burst_if,
                     static_cast<long long>(g_burst_trigdelta), static_cast<unsigned long long>(g_burst_startval),
                     static_cast<unsigned long long>(end), static_cast<long long>(e->window_drops));
        std::fclose(f);
    }
    e->files = store_close();
    g_burst_state = 0;
    g_burst_prev = end;
    g_burst_prev_ok = 1;
}

void burst_complete()
{
    if (g_burst_state == 1) burst_finish();
}
