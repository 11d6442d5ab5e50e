// moatwalld: keeps the moatwall XDP gate loaded and pinned, and takes
// commands from root over a Unix socket. One thread, one poll loop.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "moatwalld/gate.hpp"
#include "moatwalld/proto.hpp"

#ifndef MOATWALL_OBJ_PATH
#define MOATWALL_OBJ_PATH "/usr/local/lib/moatwall/moatwall_xdp.bpf.o"
#endif

static const char USAGE[] =
    "usage: moatwalld -i IF [-p PINDIR] [-S SOCKET] [-o OBJECT]\n"
    "       moatwalld --version\n"
    "  -i IF      NIC the gate is set to (a gate already pinned keeps its own NIC)\n"
    "  -p PINDIR  pin directory of the maps and link (default " MW_PIN_DIR ")\n"
    "  -S SOCKET  control socket (default " MW_SOCK_PATH ")\n"
    "  -o OBJECT  XDP object file (default " MOATWALL_OBJ_PATH ")\n"
    "  -p and -S are for tests and side-by-side instances; the console uses the defaults.\n";

// A client is served only while its output has room for a whole reply, so a
// peer that sends without reading stalls itself and nobody else.
#define MAX_CLIENTS 32
#define IN_CAP 512
#define OUT_CAP (4 * (MW_MAX_REPLY + 1))
#define LINES_PER_TURN 8

struct Client {
    int fd;
    int root;
    int skipping; // inside an over-long line, discarding until its "\n"
    size_t inlen, outlen, outoff;
    long long last_ms;
    char in[IN_CAP];
    char out[OUT_CAP];
};

static Client g_cl[MAX_CLIENTS];
static int g_ncl;
static Reply g_reply;

static long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static void drop_client(int i)
{
    close(g_cl[i].fd);
    g_cl[i] = g_cl[--g_ncl];
}

static void queue(Client *c, const Reply &r)
{
    if (c->outoff > 0) {
        memmove(c->out, c->out + c->outoff, c->outlen - c->outoff);
        c->outlen -= c->outoff;
        c->outoff = 0;
    }
    memcpy(c->out + c->outlen, r.buf, r.len);
    c->outlen += r.len;
}

static int out_room(const Client *c) { return OUT_CAP - (c->outlen - c->outoff) > MW_MAX_REPLY; }

static void answer(Client *c, const char *line, size_t len)
{
    handle_line(line, len, c->root, &g_reply);
    queue(c, g_reply);
}

// Takes complete lines off the input while a reply still fits the output, a
// few per turn, so a peer that floods requests waits its turn like the others.
// Whether complete lines are left for the next turn.
static bool serve_lines(Client *c)
{
    size_t off = 0;
    for (int turn = 0; turn < LINES_PER_TURN && out_room(c); turn++) {
        char *nl = static_cast<char *>(memchr(c->in + off, '\n', c->inlen - off));
        if (!nl) {
            if (!c->skipping && c->inlen - off > MW_MAX_LINE + 1) {
                c->skipping = 1;
                off = c->inlen;
            }
            if (c->skipping) off = c->inlen;
            break;
        }
        size_t len = static_cast<size_t>(nl - (c->in + off));
        if (c->skipping) {
            c->skipping = 0;
            g_reply.len = 0;
            reply_addf(&g_reply, "ERR line too long (at most %d characters)\n", MW_MAX_LINE);
            queue(c, g_reply);
        } else {
            size_t l = len;
            if (l > 0 && c->in[off + l - 1] == '\r') l--; // typed through a terminal tool
            if (l > MW_MAX_LINE) {
                g_reply.len = 0;
                reply_addf(&g_reply, "ERR line too long (at most %d characters)\n", MW_MAX_LINE);
                queue(c, g_reply);
            } else {
                answer(c, c->in + off, l);
            }
        }
        off += len + 1;
    }
    memmove(c->in, c->in + off, c->inlen - off);
    c->inlen -= off;
    return memchr(c->in, '\n', c->inlen) != nullptr;
}

static int flush_out(Client *c)
{
    while (c->outoff < c->outlen) {
        ssize_t w = send(c->fd, c->out + c->outoff, c->outlen - c->outoff, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
        c->outoff += static_cast<size_t>(w);
    }
    c->outoff = c->outlen = 0;
    return 0;
}

static bool accept_client(int lfd)
{
    int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return false;
    // A full table makes room by dropping the client idle the longest, so
    // silent peers can never lock the console out.
    if (g_ncl == MAX_CLIENTS) {
        int old = 0;
        for (int i = 1; i < g_ncl; i++)
            if (g_cl[i].last_ms < g_cl[old].last_ms) old = i;
        drop_client(old);
    }
    ucred cr;
    socklen_t crl = sizeof cr;
    Client &c = g_cl[g_ncl++];
    c.fd = fd;
    c.root = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &crl) == 0 && cr.uid == 0;
    c.skipping = 0;
    c.inlen = c.outlen = c.outoff = 0;
    c.last_ms = now_ms();
    return true;
}

static int listen_on(const char *path)
{
    sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof sa.sun_path) {
        fprintf(stderr, "moatwalld: socket path too long: %s\n", path);
        return -1;
    }
    strcpy(sa.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A live daemon on this path keeps it; a stale socket file is replaced.
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
        fprintf(stderr, "moatwalld: another moatwalld answers on %s\n", path);
        close(fd);
        return -1;
    }
    close(fd);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    unlink(path);
    mode_t old = umask(077);
    int rc = bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    umask(old);
    if (rc != 0 || chmod(path, 0600) != 0 || listen(fd, 16) != 0) {
        fprintf(stderr, "moatwalld: cannot listen on %s: %s\n", path, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

struct Options {
    const char *iface = nullptr, *pindir = MW_PIN_DIR, *sock = MW_SOCK_PATH, *obj = MOATWALL_OBJ_PATH;
};

// Returns -1 to go on, or the exit status when the command line ends the run.
static int parse_options(int argc, char **argv, Options *o)
{
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("moatwalld %s\n", TARNWATCH_VERSION);
        return 0;
    }
    int opt;
    while ((opt = getopt(argc, argv, "i:p:S:o:h")) != -1) {
        switch (opt) {
        case 'i': o->iface = optarg; break;
        case 'p': o->pindir = optarg; break;
        case 'S': o->sock = optarg; break;
        case 'o': o->obj = optarg; break;
        default: fputs(USAGE, opt == 'h' ? stdout : stderr); return opt == 'h' ? 0 : 2;
        }
    }
    if (!o->iface || optind != argc || strlen(o->iface) >= sizeof g_gate.iface ||
        strlen(o->pindir) >= sizeof g_gate.pindir) {
        fputs(USAGE, stderr);
        return 2;
    }
    return -1;
}

// The pin directory is locked before any pin is touched, and the socket
// taken before the program is loaded: a start that is refused changes nothing.
// Returns the listening socket, or -1 with nothing left behind.
static int start_gate(const Options &o)
{
    char err[300];
    if (gate_lock(o.pindir, err, sizeof err) != 0) {
        fprintf(stderr, "moatwalld: %s\n", err);
        return -1;
    }
    int lfd = listen_on(o.sock);
    if (lfd < 0) {
        gate_close();
        return -1;
    }
    if (gate_open(o.pindir, o.obj, o.iface, err, sizeof err) != 0) {
        fprintf(stderr, "moatwalld: %s\n", err);
        close(lfd);
        unlink(o.sock);
        gate_close();
        return -1;
    }
    fprintf(stderr, "moatwalld: maps under %s, gate %s on %s, listening on %s\n", g_gate.pindir,
            gate_attached() ? g_gate.mode : "not attached", g_gate.iface, o.sock);
    return lfd;
}

// One client's turn after poll: read what came, answer up to a turn's lines,
// write what fits. True when lines are left for its next turn; false too when
// the client was dropped.
static bool client_turn(int i, short revents)
{
    Client *c = &g_cl[i];
    if (revents & POLLIN) {
        ssize_t r = read(c->fd, c->in + c->inlen, IN_CAP - c->inlen);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
            drop_client(i);
            return false;
        }
        if (r > 0) {
            c->inlen += static_cast<size_t>(r);
            c->last_ms = now_ms();
        }
    } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        drop_client(i);
        return false;
    }
    bool left = serve_lines(c);
    if (flush_out(c) != 0) {
        drop_client(i);
        return false;
    }
    return left && out_room(c);  // a full output waits for POLLOUT instead
}

// Serves clients until SIGTERM or SIGINT arrives on sfd.
static void serve(int sfd, int lfd)
{
    static pollfd pfd[MAX_CLIENTS + 2];
    bool busy = false;  // lines are waiting for their next turn
    for (;;) {
        pfd[0] = {sfd, POLLIN, 0};
        pfd[1] = {lfd, POLLIN, 0};
        for (int i = 0; i < g_ncl; i++) {
            short ev = 0;
            if (out_room(&g_cl[i]) && g_cl[i].inlen < IN_CAP) ev |= POLLIN;
            if (g_cl[i].outlen > g_cl[i].outoff) ev |= POLLOUT;
            pfd[i + 2] = {g_cl[i].fd, ev, 0};
        }
        int n = g_ncl;
        if (poll(pfd, static_cast<nfds_t>(n + 2), busy ? 0 : -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (pfd[0].revents & POLLIN) return;
        busy = false;
        // Walk from the end so dropping a client (which moves the last one
        // into its slot) leaves the unvisited ones in place.
        for (int i = n - 1; i >= 0; i--) busy |= client_turn(i, pfd[i + 2].revents);
        // Everyone waiting is let in at once, not one per turn behind a flood.
        for (int k = 0; pfd[1].revents & POLLIN && k < MAX_CLIENTS && accept_client(lfd); k++) {}
    }
}

int main(int argc, char **argv)
{
    Options o;
    int status = parse_options(argc, argv, &o);
    if (status >= 0) return status;

    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    int sfd = signalfd(-1, &sigs, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    int lfd = start_gate(o);
    if (lfd < 0) return 1;
    serve(sfd, lfd);

    // Stopping leaves the gate attached: detaching is a command, not a side effect.
    for (int i = g_ncl - 1; i >= 0; i--) drop_client(i);
    close(lfd);
    unlink(o.sock);
    int att = gate_attached();
    gate_close();
    fprintf(stderr, "moatwalld: stopped, gate left %s\n", att ? "attached" : "detached");
    return 0;
}
