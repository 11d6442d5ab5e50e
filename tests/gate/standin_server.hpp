// A scripted stand-in for the gate daemon: answers each request line with
// pieces written after set delays, and can close the stream where told.
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
    std::string path;
    std::vector<std::string> requests;  // lines received, without "\n"
    int listen_fd = -1;

    // Serves the exchanges in order on a socket at path (removed first).
    StandinServer(const std::string &path, std::vector<Exchange> script);
    // Answers every request line with respond(line), over any number of connections.
    StandinServer(const std::string &path, std::function<std::string(const std::string &)> respond);
    std::vector<std::string> received();  // requests so far, safely copied
    ~StandinServer();
    StandinServer(const StandinServer &) = delete;
    StandinServer &operator=(const StandinServer &) = delete;

private:
    std::vector<Exchange> script_;
    std::function<std::string(const std::string &)> respond_;
    std::mutex mu_;
    bool listen_and_start();
    void serve_forever();
    std::thread thr_;
    std::atomic<bool> stop_{false};
    void run();
};
