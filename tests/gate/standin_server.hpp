// A stand-in for the gate daemon: one connection at a time (the console keeps
// one), each request line answered with what reply(line) gives, written as told
// there: pieces split by '|', each "[@ms[/size]:]bytes" written ms after the
// last (in chunks of size bytes, each ms after the last), and a piece
// "<hangup>" closes the connection. So a reply can stall, drip, stream, go on
// past its OK or stop short.
#pragma once
#include <algorithm>
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

struct StandinServer {
    using Reply = std::function<std::string(const std::string &)>;
    int listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    // False once the connection is to be closed: told so, the client hung up
    // (which cuts a slow reply short), or the test is over.
    bool answer(int c, const std::string &reply)
    {
        for (size_t from = 0, bar = 0; bar < reply.size(); from = bar + 1) {
            bar = std::min(reply.find('|', from), reply.size());
            std::string piece = reply.substr(from, bar - from);
            if (piece == "<hangup>") return false;
            int ms = 0;
            size_t size = piece.size(), colon = piece.find(':'), slash = piece.find('/');
            if (piece[0] == '@') {
                ms = std::stoi(piece.substr(1));
                size = slash < colon ? std::stoul(piece.substr(slash + 1)) : size;
                piece.erase(0, colon + 1);
            }
            for (size_t at = 0; at < piece.size(); at += size) {
                usleep(useconds_t(ms) * 1000);
                if (stop_ || send(c, piece.data() + at, std::min(size, piece.size() - at), MSG_NOSIGNAL) < 0)
                    return false;
            }
        }
        return true;
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
                if (!answer(c, reply_(line))) close(c), c = -1;
            }
        }
    }
};
