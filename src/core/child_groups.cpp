#include "core/child_groups.hpp"

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

[[noreturn]] static void child_exec(const char *const argv[], int out, int null, int pdeathsig, pid_t parent)
{
    // A monitor killed before this line is no longer the parent: do not start.
    if (pdeathsig && (::prctl(PR_SET_PDEATHSIG, pdeathsig) != 0 || ::getppid() != parent)) ::_exit(127);
    // A group of its own, so ending a child also ends whatever it started (a
    // wrapper script's children), and the terminal's Ctrl-C never reaches it.
    ::setpgid(0, 0);
    // The tool gets default handling of every signal and an empty mask, however
    // the monitor was started (a shell or tmux may hand it ignored SIGTTIN or
    // SIGTTOU, which an exec keeps): with SIGPIPE at its default an early close
    // of the pipe ends it as it would a shell pipe. All signals stay blocked
    // until every disposition is reset, so no handler of ours runs in it.
    for (int s = 1; s < NSIG; s++)
        if (s != SIGKILL && s != SIGSTOP) ::signal(s, SIG_DFL);
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

int fd_above_stdio(int fd)
{
    if (fd < 0 || fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

// Opened once for every child of the process. It is looked at before each
// use: a caller that closed or replaced the descriptor must not hand a child
// some other file as its input.
static int g_null = -1;
int dev_null_fd()
{
    struct stat st;
    int fl = g_null >= 0 ? ::fcntl(g_null, F_GETFL) : -1;
    if (fl >= 0 && (fl & O_ACCMODE) == O_RDWR && ::fstat(g_null, &st) == 0 && S_ISCHR(st.st_mode) &&
        st.st_rdev == makedev(1, 3))
        return g_null;
    g_null = fd_above_stdio(::open("/dev/null", O_RDWR | O_CLOEXEC));
    return g_null;
}

pid_t child_spawn(const char *const argv[], int out, int null, int pdeathsig)
{
    const pid_t parent = ::getpid();
    // Every signal waits while the child shares our memory: no handler of ours
    // may run in it, and an ending signal always finds its group recorded.
    sigset_t all, old;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &old);
    // vfork: the monitor's page tables are not copied for every child (64 times
    // a sample at 32 interfaces), and the parent resumes only once the child has
    // exec'd or exited, so the child's group exists before it is recorded. The
    // child only makes system calls on its own stack frame until then; its
    // signal dispositions are its own, and every signal stays blocked until
    // child_exec has set it to default.
    pid_t pid = ::vfork();
    if (pid == 0) child_exec(argv, out, null, pdeathsig, parent);
    if (pid > 0) child_group_add(pid);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    return pid;
}
