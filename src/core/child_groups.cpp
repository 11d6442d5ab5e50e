#include "core/child_groups.hpp"

#include <csignal>
#include <initializer_list>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// sig_atomic_t slots: the handler reads each one whole, whatever the loop was doing.
static volatile sig_atomic_t g_child_pgids[MAX_CHILD_GROUPS];

bool child_group_add(pid_t pgid)
{
    for (volatile sig_atomic_t &slot : g_child_pgids)
        if (slot == 0) {
            slot = pgid;
            return true;
        }
    return false;
}

void child_group_remove(pid_t pgid)
{
    for (volatile sig_atomic_t &slot : g_child_pgids)
        if (slot == pgid) slot = 0;
}

void child_groups_kill(int sig)
{
    for (volatile sig_atomic_t &slot : g_child_pgids) {
        pid_t pgid = slot;
        if (pgid > 0) ::kill(-pgid, sig);
    }
}

static void close_from_3()
{
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
    rlimit rl{};
    long max = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY ? static_cast<long>(rl.rlim_cur)
                                                                                     : 65536;
    for (long fd = 3; fd < max; fd++) ::close(static_cast<int>(fd));
}

// The signals whose handlers end the monitor; they wait while a child is
// started, so the handler always finds the child's group recorded.
static void ending_signals(sigset_t *set)
{
    sigemptyset(set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(set, s);
}

[[noreturn]] static void child_exec(const char *const argv[], int out, int null)
{
    // A group of its own, so ending a child also ends whatever it started (a
    // wrapper script's children), and the terminal's Ctrl-C never reaches it.
    ::setpgid(0, 0);
    // The tool gets default signal handling and an empty mask: the monitor's
    // handlers must not run in it before the exec, and with SIGPIPE at its default
    // an early close of the pipe ends it as it would a shell pipe.
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE}) ::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // All three sources are above 2, so each dup2 makes a fresh descriptor
    // without close-on-exec.
    ::dup2(null, 0);
    ::dup2(out, 1);
    ::dup2(null, 2);
    close_from_3();
    ::execvp(argv[0], const_cast<char *const *>(argv));
    ::_exit(127);
}

// The same child as child_exec, started without copying the monitor's page
// tables: the parent waits until the child has exec'd (vfork semantics), so
// the group exists before the parent records it. The child sets its group, the
// default dispositions, the empty mask and its descriptors before the exec, in
// the same order as child_exec; glibc also resets every caught signal to its
// default there, so no handler of ours runs in it. false when it could not
// exec (a missing tool): the caller then takes the fork path, which keeps "a
// missing tool is a child exiting 127".
static bool spawn_direct(const char *const argv[], int out, int null, pid_t *pid)
{
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t fa;
    if (::posix_spawnattr_init(&attr) != 0) return false;
    if (::posix_spawn_file_actions_init(&fa) != 0) {
        ::posix_spawnattr_destroy(&attr);
        return false;
    }
    sigset_t dfl, none;
    sigemptyset(&dfl);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE}) sigaddset(&dfl, s);
    // glibc ignores its two internal signals (32, 33) in the child while it sets
    // it up and, unless they are named here, execs the tool with them still
    // ignored. sigaddset refuses to name them, so their bits are set directly;
    // the child holds every signal blocked until its exec.
    auto *word = reinterpret_cast<unsigned long *>(&dfl);
    constexpr unsigned BITS = sizeof(unsigned long) * 8;
    for (unsigned s : {32U, 33U}) word[(s - 1) / BITS] |= 1UL << ((s - 1) % BITS);
    sigemptyset(&none);
    bool ok = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                    POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_USEVFORK) == 0 &&
              ::posix_spawnattr_setpgroup(&attr, 0) == 0 && ::posix_spawnattr_setsigdefault(&attr, &dfl) == 0 &&
              ::posix_spawnattr_setsigmask(&attr, &none) == 0 && ::posix_spawn_file_actions_adddup2(&fa, null, 0) == 0 &&
              ::posix_spawn_file_actions_adddup2(&fa, out, 1) == 0 &&
              ::posix_spawn_file_actions_adddup2(&fa, null, 2) == 0 &&
              ::posix_spawn_file_actions_addclosefrom_np(&fa, 3) == 0;
    ok = ok && ::posix_spawnp(pid, argv[0], &fa, &attr, const_cast<char *const *>(argv), environ) == 0;
    ::posix_spawn_file_actions_destroy(&fa);
    ::posix_spawnattr_destroy(&attr);
    return ok;
}

pid_t child_spawn(const char *const argv[], int out, int null)
{
    sigset_t ending, old;
    ending_signals(&ending);
    ::sigprocmask(SIG_BLOCK, &ending, &old);
    pid_t pid = -1;
    if (!spawn_direct(argv, out, null, &pid)) {
        pid = ::fork();
        if (pid == 0) child_exec(argv, out, null);
    }
    if (pid > 0) {
        ::setpgid(pid, pid);  // also here, so a kill can never miss the group
        child_group_add(pid);
    }
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    return pid;
}
