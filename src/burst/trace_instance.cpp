#include "burst/trace_instance.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include "burst/burst_state.hpp"
#include "burst/burst_store.hpp"
#include "core/fsroot.hpp"
#include "core/kernel_file.hpp"

// Built once at the probe, so the signal path only opens and writes.
static char g_trigger_file[128];
static char g_enable_file[128];
static char g_trace_file[128];
static char g_instance_dir[64];  // our own instance; empty when we use the root

bool kfree_skb_file(char *out, size_t size, const char *dir, const char *file)
{
    int n = std::snprintf(out, size, "%s/events/skb/kfree_skb/%s", dir, file);
    return n >= 0 && static_cast<size_t>(n) < size;
}

static void put(const char *path, const char *text)
{
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t r = ::write(fd, text, std::strlen(text));
    (void)r;
    ::close(fd);
}

static void detach_at(const char *trigger, const char *enable)
{
    put(trigger, "!stacktrace");
    put(enable, "0");
}

// Unused trigger files list the available triggers as comment lines only.
static bool trigger_attached(const char *trigger)
{
    char buf[1024];
    if (read_file_str(trigger, buf, sizeof buf) != 0) return false;
    for (const char *line = buf;;) {
        if (std::strncmp(line, "stacktrace", 10) == 0) return true;
        const char *nl = std::strchr(line, '\n');
        if (!nl) return false;
        line = nl + 1;
    }
}

void trace_attach()
{
    put(g_trigger_file, "!stacktrace");
    put(g_trigger_file, "stacktrace");
    put(g_enable_file, "1");
}

int trace_detach()
{
    detach_at(g_trigger_file, g_enable_file);
    return trigger_attached(g_trigger_file) ? -1 : 0;
}

void trace_clear()
{
    if (g_instance_dir[0] == '\0') {
        put(g_trace_file, " ");  // the root's buffer belongs to whoever else traces the box
        return;
    }
    int fd = ::open(g_trace_file, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
}

const char *trace_file() { return g_trace_file; }

void burst_cleanup_signal_safe()
{
    if (g_burst_state == 1) {
        if (g_tracedir[0] != '\0') detach_at(g_trigger_file, g_enable_file);
        if (g_tcpdump_pid > 0) {
            ::kill(-g_tcpdump_pid, SIGTERM);
            ::kill(g_tcpdump_pid, SIGTERM);
        }
    }
    if (g_instance_dir[0] != '\0') {
        detach_at(g_trigger_file, g_enable_file);
        if (::rmdir(g_instance_dir) == 0 || errno == ENOENT) g_instance_dir[0] = '\0';
    }
}

// A killed monitor stays a zombie until its parent (often init) reaps it.
static bool monitor_alive(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    char path[48], buf[256];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    if (read_file_str(path, buf, sizeof buf) != 0) return true;
    const char *st = std::strrchr(buf, ')');
    return !(st && st[1] == ' ' && (st[2] == 'Z' || st[2] == 'X'));
}

// Instances "tarnwatch-N" whose monitor N is gone (killed with SIGKILL) would
// keep their buffers, and a trigger, for good.
static void remove_stale_instances(const char *root)
{
    char dir[128];
    std::snprintf(dir, sizeof dir, "%s/%s", root, TRACE_INSTANCES);
    DIR *d = ::opendir(dir);
    if (!d) return;
    while (dirent *e = ::readdir(d)) {
        if (std::strncmp(e->d_name, "tarnwatch-", 10) != 0) continue;
        char *end = nullptr;
        long pid = std::strtol(e->d_name + 10, &end, 10);
        if (end == e->d_name + 10 || *end != '\0' || pid <= 0 || pid == ::getpid()) continue;
        if (monitor_alive(static_cast<pid_t>(pid))) continue;
        char inst[400], trig[440], en[440];
        std::snprintf(inst, sizeof inst, "%s/%s", dir, e->d_name);
        kfree_skb_file(trig, sizeof trig, inst, "trigger");
        kfree_skb_file(en, sizeof en, inst, "enable");
        detach_at(trig, en);
        ::rmdir(inst);
    }
    ::closedir(d);
}

static bool set_tracedir(const char *dir)
{
    char trig[128], en[128], tr[128];
    if (!kfree_skb_file(trig, sizeof trig, dir, "trigger") || !kfree_skb_file(en, sizeof en, dir, "enable") ||
        std::snprintf(tr, sizeof tr, "%s/trace", dir) >= static_cast<int>(sizeof tr) ||
        std::strlen(dir) >= sizeof g_tracedir || ::access(trig, W_OK) != 0)
        return false;
    std::memcpy(g_trigger_file, trig, sizeof trig);
    std::memcpy(g_enable_file, en, sizeof en);
    std::memcpy(g_trace_file, tr, sizeof tr);
    std::snprintf(g_tracedir, sizeof g_tracedir, "%s", dir);
    return true;
}

// The instance's ring, per CPU, bounds what one capture's stacks.txt can hold
// (and the kernel memory it takes) well below the default's.
static void size_buffer(const char *inst)
{
    char path[128], kb[16];
    std::snprintf(path, sizeof path, "%s/buffer_size_kb", inst);
    std::snprintf(kb, sizeof kb, "%d", TRACE_BUFFER_KB);
    put(path, kb);
}

void burst_probe()
{
    store_init();
    g_tracedir[0] = '\0';
    g_burst_why[0] = '\0';
    g_instance_dir[0] = '\0';
    for (const char *c : TRACEFS_CANDIDATES) {
        char root[64], trig[128];
        if (fs_path(root, sizeof root, "%s", c) != 0) continue;
        if (!kfree_skb_file(trig, sizeof trig, root, "trigger") || ::access(trig, W_OK) != 0) continue;
        remove_stale_instances(root);
        char inst[64];
        int n = std::snprintf(inst, sizeof inst, "%s/%s/tarnwatch-%d", root, TRACE_INSTANCES,
                              static_cast<int>(::getpid()));
        if (n < static_cast<int>(sizeof inst) && (::mkdir(inst, 0700) == 0 || errno == EEXIST)) {
            if (set_tracedir(inst)) {
                std::memcpy(g_instance_dir, inst, sizeof inst);
                size_buffer(inst);
            } else {
                ::rmdir(inst);
            }
        }
        if (g_tracedir[0] == '\0') set_tracedir(root);
        return;
    }
    std::snprintf(g_burst_why, sizeof g_burst_why, "%s",
                  "kfree_skb trigger not writable (need root + CONFIG_FTRACE / mounted tracefs)");
}
