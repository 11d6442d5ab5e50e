// A daemon stand-in on the far end of a socket pair: the client gets the fuzz
// input as the whole reply, then end of stream, so no wait is ever taken.
#pragma once
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_check.hpp"
#include "gate/mw_client.hpp"

inline bool gate_peer_open(const uint8_t *data, size_t size, int *peer)
{
    static bool once = [] {
        mw_paths_set("/nonexistent/tw-fuzz.sock", "/nonexistent/tw-fuzz-pins");  // a reconnect fails at once
        return true;
    }();
    (void)once;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    int big = 1 << 20;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    size_t off = 0;
    while (off < size) {
        ssize_t w = ::write(sv[1], data + off, size - off);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
    }
    ::shutdown(sv[1], SHUT_WR);
    ::fcntl(sv[0], F_SETFL, ::fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    g_mwc = sv[0];
    *peer = sv[1];
    return true;
}

inline void gate_peer_close(int peer)
{
    mw_drop_conn();
    ::close(peer);
}
