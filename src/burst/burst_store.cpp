#include "burst/burst_store.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "core/child_groups.hpp"
#include "core/settings.hpp"
#include "core/unique_fd.hpp"
#include "counters/fmt_iec.hpp"

const char *const CAPTURE_FILES[CF_N] = {"stacks.txt", "reasons.txt", "burst.pcap", "counters.txt"};

static char g_parent[64] = "/tmp";
static uint64_t g_used = 0;  // bytes of capture files this run wrote
static UniqueFd g_dirfd;      // the open capture directory

void store_init()
{
    const char *t = std::getenv("TARNWATCH_TEST_CAPTURE_DIR");
    store_parent_set(t && *t ? t : "/tmp");
    g_used = 0;
}

void store_parent_set(const char *dir) { std::snprintf(g_parent, sizeof g_parent, "%s", dir); }
const char *store_parent() { return g_parent; }
uint64_t store_used() { return g_used; }
bool store_ok() { return g_dirfd.ok(); }

// A capture starts writing only when its worst case still fits both the budget
// and the free space above the floor, so no run passes either bound.
const char *store_refusal(uint64_t used, uint64_t budget, uint64_t fs_size, uint64_t fs_free, char *why, size_t size)
{
    char a[32], b[32];
    if (used + CAPTURE_WORST > budget) {
        fmt_iec(used, a);
        fmt_iec(budget, b);
        std::snprintf(why, size, "files skipped: %s of the %s capture budget used (--burst-budget)", a, b);
        return why;
    }
    uint64_t floor = fs_size / 10 > FREE_FLOOR_MIN ? fs_size / 10 : FREE_FLOOR_MIN;
    if (fs_free < floor + CAPTURE_WORST) {
        fmt_iec(fs_free, a);
        fmt_iec(floor + CAPTURE_WORST, b);
        std::snprintf(why, size, "files skipped: only %s free on %s (%s needed)", a, g_parent, b);
        return why;
    }
    return nullptr;
}

// mkdtemp made it, but a directory is used only once it is seen to be a real
// one, ours, and closed to everyone else.
static int open_made_dir(const char *path)
{
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int store_open(time_t when, char *dir, size_t dsize, char *note, size_t nsize)
{
    g_dirfd.reset();
    dir[0] = note[0] = '\0';
    struct statvfs vs {};
    if (::statvfs(g_parent, &vs) != 0) {
        std::snprintf(note, nsize, "files skipped: %s: %s", g_parent, std::strerror(errno));
        return -1;
    }
    const uint64_t budget = static_cast<uint64_t>(g_burst_budget_mib) << 20;
    if (store_refusal(g_used, budget, uint64_t{vs.f_blocks} * vs.f_frsize, uint64_t{vs.f_bavail} * vs.f_frsize, note,
                      nsize))
        return -1;
    tm lt{};
    localtime_r(&when, &lt);
    char stamp[32], path[128];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &lt);
    // The random suffix makes the name unguessable and mkdtemp creates it
    // exclusively: a name planted in /tmp can neither block nor redirect us.
    int n = std::snprintf(path, sizeof path, "%s/burst-%s-XXXXXX", g_parent, stamp);
    if (n >= static_cast<int>(dsize) || n >= static_cast<int>(sizeof path) || !::mkdtemp(path)) {
        std::snprintf(note, nsize, "files skipped: cannot create %s/burst-%s: %s", g_parent, stamp,
                      n >= static_cast<int>(dsize) ? "name too long" : std::strerror(errno));
        return -1;
    }
    g_dirfd.reset(open_made_dir(path));
    if (!g_dirfd.ok()) {
        std::snprintf(note, nsize, "%s", "files skipped: directory not ours or not safe");
        return -1;
    }
    std::snprintf(dir, dsize, "%s", path);
    return 0;
}

int store_create(CaptureFile f)
{
    if (!g_dirfd.ok()) return -1;
    int fd = ::openat(g_dirfd.fd, CAPTURE_FILES[f], O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    return fd_above_stdio(fd);
}

int store_read(CaptureFile f)
{
    if (!g_dirfd.ok()) return -1;
    return ::openat(g_dirfd.fd, CAPTURE_FILES[f], O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

uint32_t store_close()
{
    uint32_t mask = 0;
    for (int i = 0; g_dirfd.ok() && i < CF_N; i++) {
        struct stat st {};
        if (::fstatat(g_dirfd.fd, CAPTURE_FILES[i], &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        // A pcap without even its header: tcpdump never started. No file, rather than an unreadable one.
        if (i == CF_PCAP && st.st_size == 0 && ::unlinkat(g_dirfd.fd, CAPTURE_FILES[i], 0) == 0) continue;
        mask |= 1U << i;
        g_used += static_cast<uint64_t>(st.st_size);
    }
    g_dirfd.reset();
    return mask;
}
