// Launching the real monitor and looking at what it left: one command line for
// quiet surroundings, a run as cron would run it, and the processes it started.
#pragma once
#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "support/tmpdir.hpp"

// The monitor with no WireGuard configurations, no BIRD configuration and a birdc
// that prints nothing; opts come after, so they override.
inline std::string tw_quiet(const std::string &opts)
{
    return TW_BIN " -W /nonexistent -b /nonexistent -B /bin/false " + opts;
}

// A program run as cron would run it: no terminal, standard output and error to files, timed.
struct ProgramRun {
    int status;
    std::string out, err;
    double seconds;
};

// redirs go after the standard ones, so they can override them.
inline ProgramRun run_program(const std::string &cmd, const std::string &redirs = "")
{
    TempDir d;
    const auto t0 = std::chrono::steady_clock::now();
    const int st = std::system((cmd + " >" + d.path + "/o 2>" + d.path + "/e </dev/null" + redirs).c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, read_whole_file(d.path + "/o"), read_whole_file(d.path + "/e"),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count()};
}

inline size_t occurrences(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) n++;
    return n;
}

// Gone, or a zombie its new parent has not reaped yet, within 3 s.
inline bool process_gone(const std::string &pid)
{
    for (int i = 0; i < 300; i++) {
        const std::string stat = read_whole_file("/proc/" + pid + "/stat");
        if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
        ::usleep(10000);
    }
    return false;
}
