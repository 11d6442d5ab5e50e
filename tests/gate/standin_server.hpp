// A scripted stand-in for the gate daemon: one connection at a time (the
// console keeps one), each request line answered by pieces written after set
// delays (a reply can stall, drip, stream or go on past its OK), the stream
// closed where told.
#pragma once
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
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
    using Reply = std::function<Exchange(const std::string &)>;
    int listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Serves the exchanges in order, then stays silent.
    StandinServer(const std::string &path, std::vector<Exchange> script)
        : StandinServer(path, Reply([s = std::move(script), n = size_t(0)](const std::string &) mutable {
              return n < s.size() ? s[n++] : Exchange{};
          }))
    {
    }
    // Answers every request line with respond(line).
    StandinServer(const std::string &path, std::function<std::string(const std::string &)> respond)
        : StandinServer(path, Reply([respond](const std::string &l) { return Exchange{{{respond(l)}}}; }))
    {
    }
    StandinServer(const std::string &path, Reply reply) : path_(path), reply_(std::move(reply))
    {
        sockaddr_un sa{AF_UNIX, {}};
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
        unlink(path.c_str());
        if (bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && listen(listen_fd, 8) == 0)
            thr_ = std::thread([this] { run(); });
    }
    ~StandinServer()
    {
        stop_ = true;
        if (thr_.joinable()) thr_.join();
        close(listen_fd);
        unlink(path_.c_str());
    }
    std::vector<std::string> received()  // request lines so far, without "\n"
    {
        std::lock_guard<std::mutex> g(mu_);
        return requests_;
    }

private:
    std::string path_;
    Reply reply_;
    std::vector<std::string> requests_;
    std::mutex mu_;
    std::atomic<bool> stop_{false};
    std::thread thr_;

    bool readable(int fd)  // false once the test is over
    {
        for (pollfd p{fd, POLLIN, 0}; !stop_;)
            if (poll(&p, 1, 50) > 0) return true;
        return false;
    }
    void run()
    {
        char buf[512];
        while (readable(listen_fd)) {
            int c = accept(listen_fd, nullptr, nullptr);
            for (std::string acc; c >= 0;) {
                size_t nl = acc.find('\n');
                ssize_t n = 0;
                if (nl == std::string::npos) {
                    if (readable(c) && (n = read(c, buf, sizeof buf)) > 0) acc.append(buf, size_t(n));
                    else close(c), c = -1;
                    continue;
                }
                std::string line = acc.substr(0, nl);
                acc.erase(0, nl + 1);
                mu_.lock(), requests_.push_back(line), mu_.unlock();
                Exchange ex = reply_(line);
                // A client that hung up, or the test's end, cuts a slow script short.
                for (const Piece &p : ex.pieces) {
                    if (stop_) break;
                    usleep(useconds_t(p.delay_ms) * 1000);
                    if (send(c, p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL) < 0) break;
                }
                if (ex.close_after) close(c), c = -1;
            }
        }
    }
};
