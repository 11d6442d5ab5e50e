#include "standin_server.hpp"

#include <chrono>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

StandinServer::StandinServer(const std::string &p, std::vector<Exchange> script)
    : path(p), script_(std::move(script))
{
    unlink(path.c_str());
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(listen_fd, 8) != 0) {
        close(listen_fd);
        listen_fd = -1;
        return;
    }
    thr_ = std::thread([this] { run(); });
}

StandinServer::~StandinServer()
{
    stop_ = true;
    if (thr_.joinable()) thr_.join();
    if (listen_fd >= 0) close(listen_fd);
    unlink(path.c_str());
}

// Waits for fd to be readable, giving up when the test is over.
static bool wait_readable(int fd, const std::atomic<bool> &stop)
{
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) return true;
    }
    return false;
}

void StandinServer::run()
{
    int c = -1;
    for (const Exchange &ex : script_) {
        if (c < 0) {
            if (!wait_readable(listen_fd, stop_)) return;
            c = accept(listen_fd, nullptr, nullptr);
        }
        std::string line;
        char ch;
        while (line.empty() || line.back() != '\n') {
            if (!wait_readable(c, stop_) || read(c, &ch, 1) != 1) {
                close(c);
                return;
            }
            line += ch;
        }
        line.pop_back();
        requests.push_back(line);
        for (const Piece &p : ex.pieces) {
            std::this_thread::sleep_for(std::chrono::milliseconds(p.delay_ms));
            if (send(c, p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL) < 0) break;
        }
        if (ex.close_after) {
            close(c);
            c = -1;
        }
    }
    // Script done: hold the connection until the test ends, like an idle daemon.
    while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (c >= 0) close(c);
}
