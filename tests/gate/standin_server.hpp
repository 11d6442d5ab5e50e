// A scripted stand-in for the gate daemon: one connection at a time (the
// console keeps one), each request line answered by pieces written after set
// delays, the stream closed where told.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Piece {
    std::string bytes;
    int delay_ms = 0;  // before writing these bytes
};

struct Exchange {
    std::vector<Piece> pieces;
    bool close_after = false;  // close the connection; the next exchange takes a new one
};

struct StandinServer {
    int listen_fd = -1;
    // Serves the exchanges in order on a socket at path, then stays silent.
    StandinServer(const std::string &path, std::vector<Exchange> script);
    // Answers every request line with respond(line).
    StandinServer(const std::string &path, std::function<std::string(const std::string &)> respond);
    ~StandinServer();
    std::vector<std::string> received();  // request lines so far, without "\n"

private:
    std::string path_;
    std::function<Exchange(const std::string &)> reply_;
    std::vector<std::string> requests_;
    std::mutex mu_;
    std::atomic<bool> stop_{false};
    std::thread thr_;
    void start();
    bool wait_readable(int fd);
    void run();
};
