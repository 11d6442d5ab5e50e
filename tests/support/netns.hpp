// Test helpers for real network namespaces: create, run code inside, clean up.
#pragma once
#include <functional>
#include <string>

// Runs a shell command line for test set-up (ip, tc, ...); returns its exit status.
int sh(const std::string &cmd);
// Same, output captured (standard output only).
std::string sh_out(const std::string &cmd);
// Whether the shell condition held within secs (looked at every 50 ms).
bool wait_for(const std::string &cond, double secs);

// Whether this process may create namespaces (root and a kernel that allows it).
bool netns_available();

// A network namespace named <base>_<pid>_<n>, deleted with everything in it.
struct NetnsGuard {
    std::string name;
    explicit NetnsGuard(const std::string &base);
    ~NetnsGuard();
    NetnsGuard(const NetnsGuard &) = delete;
    NetnsGuard &operator=(const NetnsGuard &) = delete;
    // "ip netns exec <name> " + cmd
    int run(const std::string &cmd) const;
    std::string out(const std::string &cmd) const;
};

// Runs fn in a forked child that has entered the namespace and mounted its own
// /sys, so /sys/class/net and /proc/net describe the namespace. The child's
// returned text comes back; a crash or failed set-up gives "!error: ...".
std::string in_netns(const std::string &ns, const std::function<std::string()> &fn);

// Capture directories are named by the second, in the /tmp all test processes
// share: one capturing test at a time, whichever process runs it.
struct CaptureLock {
    int fd;
    bool held;
    // Waits for the lock, or with wait false only takes it when it is free.
    explicit CaptureLock(bool wait = true);
    ~CaptureLock();
    CaptureLock(const CaptureLock &) = delete;
    CaptureLock &operator=(const CaptureLock &) = delete;
};

// Whether the kfree_skb trigger is writable, mounting tracefs first when it is not.
bool tracefs_ready();
