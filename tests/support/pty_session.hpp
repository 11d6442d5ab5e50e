// A program run on a fresh pseudo-terminal, driven as a user at the keyboard would.
#pragma once
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct PtySession {
    pid_t pid = -1;  // session leader (the started program)
    int master = -1;
    std::string slave;   // e.g. "/dev/pts/7", to look at the terminal from outside
    std::string out;     // everything written to the terminal so far
    size_t sent_at = 0;  // size of out at the last write

    ~PtySession();
    // argv[0] must be an absolute path. False when the pty or fork fails.
    bool start(std::vector<const char *> argv);
    // False when not all of bytes went in at once.
    bool write(std::string_view bytes);
    // Reads until text shows up in what came after the last write; false on timeout.
    bool read_until(std::string_view text, double secs);
};
