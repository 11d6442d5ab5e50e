#include "standin_server.hpp"

#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

StandinServer::StandinServer(const std::string &path, std::vector<Exchange> script)
    : path_(path), reply_([script = std::move(script), n = size_t(0)](const std::string &) mutable {
          return n < script.size() ? script[n++] : Exchange{};
      })
{
    start();
}

StandinServer::StandinServer(const std::string &path, std::function<std::string(const std::string &)> respond)
    : path_(path), reply_([respond](const std::string &l) { return Exchange{{{respond(l)}}}; })
{
    start();
}

void StandinServer::start()
{
    const std::string &path = path_;
    unlink(path.c_str());
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(listen_fd, 8) != 0) {
        close(listen_fd);
        listen_fd = -1;
    } else {
        thr_ = std::thread([this] { run(); });
    }
}

StandinServer::~StandinServer()
{
    stop_ = true;
    if (thr_.joinable()) thr_.join();
    if (listen_fd >= 0) close(listen_fd);
    unlink(path_.c_str());
}

std::vector<std::string> StandinServer::received()
{
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
}

// Waits for fd to be readable, giving up when the test is over.
bool StandinServer::wait_readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    while (!stop_)
        if (poll(&p, 1, 50) > 0) return true;
    return false;
}

void StandinServer::run()
{
    int c = -1;
    std::string acc;
    while (!stop_) {
        size_t nl = acc.find('\n');
        if (c < 0) {
            if (wait_readable(listen_fd)) c = accept(listen_fd, nullptr, nullptr);
            acc.clear();
        } else if (nl == std::string::npos) {
            char buf[512];
            ssize_t n = wait_readable(c) ? read(c, buf, sizeof buf) : 0;
            if (n > 0) acc.append(buf, static_cast<size_t>(n));
            else close(c), c = -1;
        } else {
            std::string line = acc.substr(0, nl);
            acc.erase(0, nl + 1);
            {
                std::lock_guard<std::mutex> g(mu_);
                requests_.push_back(line);
            }
            Exchange ex = reply_(line);
            for (const Piece &p : ex.pieces) {
                usleep(static_cast<useconds_t>(p.delay_ms) * 1000);
                if (send(c, p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL) < 0) break;
            }
            if (ex.close_after) close(c), c = -1;
        }
    }
    if (c >= 0) close(c);
}
