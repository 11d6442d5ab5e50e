// The gate's kernel side: the loaded XDP program, its pinned maps and the
// pinned XDP link that keeps it attached across daemon restarts.
#pragma once
#include <cstddef>
#include <cstdint>

#include "moatwall/moatwall_contract.h"
#include "moatwalld/args.hpp"

struct bpf_object;

struct Gate {
    char pindir[256];
    char iface[16];        // the NIC the gate is set to
    bpf_object *obj;
    int prog_fd;
    uint32_t prog_id;
    int fd_drop4, fd_drop6, fd_ports, fd_stats;
    int link_fd;           // -1 while not attached
    char mode[16];         // "xdpdrv" / "xdpgeneric" while attached
    uint32_t run_prog_id;  // program the link runs (an older one if an upgrade failed)
    int lock_fd;           // the pin directory, locked while this daemon owns it
};

extern Gate g_gate;

// Mounts bpffs when needed, creates the pin directory and locks it, before
// anything in it is touched: one daemon per gate. 0, or -1 with the reason.
int gate_lock(const char *pindir, char *err, size_t errlen);
// Locks (unless gate_lock did), creates or reuses the pinned maps, loads the
// program, finishes a link replacement a crash left half done, and takes over
// a pinned link left by an earlier run (moving it to the freshly loaded
// program). 0, or -1 with the reason in err.
int gate_open(const char *pindir, const char *objpath, const char *iface, char *err, size_t errlen);
void gate_close();

// Each returns 0, or -1 with a one-line reason in err.
int gate_attach(char *err, size_t errlen);
int gate_detach(char *err, size_t errlen);
int gate_move(const char *ifname, char *err, size_t errlen);
int gate_block(const MwPrefix &p, char *err, size_t errlen);
int gate_unblock(const MwPrefix &p, char *err, size_t errlen);
int gate_drop_port(uint16_t port, char *err, size_t errlen);
int gate_undrop_port(uint16_t port, char *err, size_t errlen);
// Calls fn for every listed prefix, IPv4 then IPv6.
void gate_each_prefix(void (*fn)(const MwPrefix &p, void *ctx), void *ctx);

// Whether the pinned link is live, refreshing iface and mode from the kernel.
int gate_attached();
// Appends "gate IF MODE\n" for every interface running this program (at most max).
int gate_list(char *buf, size_t cap, int max);
