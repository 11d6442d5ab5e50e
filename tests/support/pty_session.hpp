// A program run on a fresh pseudo-terminal, driven as a user at the keyboard would.
#pragma once
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct PtySession {
    pid_t pid = -1;     // session leader (the started program)
    int master = -1;
    std::string slave;  // e.g. "/dev/pts/7", for looking at the terminal from outside
    std::string out;    // everything written to the terminal so far
    int status = -1;    // waitpid status once the program has ended

    PtySession() = default;
    ~PtySession();
    PtySession(const PtySession &) = delete;
    PtySession &operator=(const PtySession &) = delete;

    // argv[0] must be an absolute path; env entries ("NAME=value") are added
    // to the inherited environment. Returns false when the pty or fork fails.
    bool start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
    void send(std::string_view bytes);
    // Reads whatever arrives for this long.
    void pump(double secs);
    // Reads until text shows up at or after offset `from` of out; false on timeout.
    bool wait_for(std::string_view text, size_t from, double secs);
    // Reads until the program has ended and its output is drained; false on timeout.
    bool wait_exit(double secs);
    bool ended() const { return pid < 0 || status != -1; }
};

// `stty -a` of a terminal device, as another process sees it.
std::string stty_of(const std::string &dev);
// A child of `parent` whose command name is comm, or -1.
pid_t find_child(pid_t parent, std::string_view comm);
// How many times needle occurs in hay.
size_t count_of(std::string_view hay, std::string_view needle);
