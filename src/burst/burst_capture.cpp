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

constexpr size_t TRACE_COPY_MAX = 4194303;  // 4 MiB - 1; the chunk read past it is not written
constexpr size_t TRACE_CHUNK = 65536;

static UniqueFd g_dirfd;      // the capture directory, checked; -1 when its files are skipped
static char g_dir_note[96];   // why they are skipped

// /tmp is everyone's: a name made there first by another user, or a symlink
// planted at it, must not steer root's writes. Only a real directory of ours
// that nobody else can write to is used.
static int open_capture_dir(const char *path)
{
    ::mkdir(path, 0755);
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

static int create_in_dir(const char *name)
{
    if (!g_dirfd.ok()) return -1;
    return ::openat(g_dirfd.fd, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// create_in_dir as a text stream; nullptr when the file cannot be made.
static FILE *stream_in_dir(const char *name)
{
    int fd = create_in_dir(name);
    if (fd < 0) return nullptr;
    FILE *f = ::fdopen(fd, "w");
    if (!f) ::close(fd);
    return f;
}

static void start_tcpdump()
{
    char pcap[160];
    std::snprintf(pcap, sizeof pcap, "%s/burst.pcap", g_burst_dir);
    g_tcpdump_pid = -1;
    // Output to /dev/null too; without it the child would get our terminal.
    int null = dev_null_fd();
    if (null < 0) return;
    const char *argv[] = {"tcpdump", "-i", g_burst_if, "-n", "-c", "400", "-w", pcap, nullptr};
    pid_t pid = child_spawn(argv, null, null);
    g_tcpdump_pid = pid > 0 ? pid : -1;
}

void burst_begin(int64_t delta, time_t now)
{
    tm lt{};
    localtime_r(&now, &lt);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &lt);
    std::snprintf(g_burst_dir, sizeof g_burst_dir, "/tmp/burst-%s", stamp);
    g_dirfd.reset(open_capture_dir(g_burst_dir));
    g_dir_note[0] = '\0';
    if (!g_dirfd.ok()) std::snprintf(g_dir_note, sizeof g_dir_note, "%s", "files skipped: directory not ours or not safe");

    trace_clear();
    trace_attach();

    g_tcpdump_pid = -1;
    if (g_burst_pcap == 1 && g_dirfd.ok()) start_tcpdump();

    g_burst_state = 1;
    g_burst_t0 = mono_secs();
    g_burst_trigdelta = delta;
    alert("BURST +%lld on %s (capturing)", static_cast<long long>(delta), vis_ifname(g_burst_if).s);
}

static void copy_trace()
{
    UniqueFd src(::open(trace_file(), O_RDONLY | O_CLOEXEC));
    UniqueFd dst(create_in_dir("stacks.txt"));
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

// SIGTERM, then a bounded wait: a tcpdump that ignores it must not hold the loop.
static void stop_tcpdump()
{
    if (g_tcpdump_pid <= 0) return;
    pid_t pid = g_tcpdump_pid;
    ::kill(-pid, SIGTERM);
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100; i++) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            child_group_remove(pid);
            g_tcpdump_pid = -1;
            return;
        }
        ::usleep(10000);
    }
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    child_group_remove(pid);
    g_tcpdump_pid = -1;
}

// Classifies the copy and writes reasons.txt from it; false when it cannot be read.
static bool classify_copy(BurstEntry *e)
{
    if (!g_dirfd.ok()) return false;
    UniqueFd in(::openat(g_dirfd.fd, "stacks.txt", O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
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
    if (FILE *f = stream_in_dir("reasons.txt")) {
        reasons_write(&rt, f);
        std::fclose(f);
    }
    return true;
}

void burst_finish()
{
    copy_trace();
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
    if (classify_copy(e) && e->txpath[0] == '\0')
        std::snprintf(e->txpath, sizeof e->txpath, "%s", "no tx-path frames (hw counter / rx-side only)");
    if (attached)
        std::snprintf(e->note, sizeof e->note, "%s", "stack trigger could NOT be removed - check kfree_skb/trigger");
    else
        std::snprintf(e->note, sizeof e->note, "%s", g_dir_note);
    g_n_bursts++;

    if (FILE *f = stream_in_dir("counters.txt")) {
        std::fprintf(f, "iface=%s trigger_delta=%lld start=%llu end=%llu window_drops=%lld\n", g_burst_if,
                     static_cast<long long>(g_burst_trigdelta), static_cast<unsigned long long>(g_burst_startval),
                     static_cast<unsigned long long>(end), static_cast<long long>(e->window_drops));
        std::fclose(f);
    }
    g_dirfd.reset();
    g_burst_state = 0;
    g_burst_prev = end;
    g_burst_prev_ok = 1;
}
