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
    if (listen_and_start()) thr_ = std::thread([this] { run(); });
}

StandinServer::StandinServer(const std::string &p, std::function<std::string(const std::string &)> respond)
    : path(p), respond_(std::move(respond))
{
    if (listen_and_start()) thr_ = std::thread([this] { serve_forever(); });
}

std::vector<std::string> StandinServer::received()
{
    std::lock_guard<std::mutex> g(mu_);
    return requests;
}

bool StandinServer::listen_and_start()
{
    unlink(path.c_str());
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(listen_fd, 8) != 0) {
        close(listen_fd);
        listen_fd = -1;
        return false;
    }
    return true;
}

void StandinServer::serve_forever()
{
    std::vector<int> conns;
    std::vector<std::string> partial;
    while (!stop_) {
        std::vector<pollfd> p{{listen_fd, POLLIN, 0}};
        for (int c : conns) p.push_back({c, POLLIN, 0});
        if (poll(p.data(), p.size(), 50) <= 0) continue;
        if (p[0].revents & POLLIN) {
            conns.push_back(accept(listen_fd, nullptr, nullptr));
            partial.emplace_back();
        }
        for (size_t i = 1; i < p.size(); i++) {
            if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[512];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(p[i].fd);
                conns[i - 1] = -1;
                continue;
            }
            std::string &acc = partial[i - 1];
            acc.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = acc.find('\n')) != std::string::npos) {
                std::string line = acc.substr(0, nl);
                acc.erase(0, nl + 1);
                {
                    std::lock_guard<std::mutex> g(mu_);
                    requests.push_back(line);
                }
                std::string out = respond_(line);
                send(p[i].fd, out.data(), out.size(), MSG_NOSIGNAL);
            }
        }
        for (size_t i = conns.size(); i-- > 0;)
            if (conns[i] < 0) {
                conns.erase(conns.begin() + static_cast<long>(i));
                partial.erase(partial.begin() + static_cast<long>(i));
            }
    }
    for (int c : conns) close(c);
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
        {
            std::lock_guard<std::mutex> g(mu_);
            requests.push_back(line);
        }
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
