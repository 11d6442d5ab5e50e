// A daemon stand-in on the far end of a socket pair: the fuzz input's first
// byte picks a piece size, the rest is the reply, sent as records of that size
// so that each read of the client takes at most one piece (lines arrive split
// anywhere), then end of stream, so no wait is ever taken.
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
    if (size < 1) return false;
    const size_t piece = (static_cast<size_t>(data[0]) + 1) * 16;
    data++;
    size--;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return false;
    int big = 1 << 20;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    for (size_t off = 0; off < size; off += piece) {
        size_t n = size - off < piece ? size - off : piece;
        if (::send(sv[1], data + off, n, MSG_DONTWAIT) != static_cast<ssize_t>(n)) break;
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
