// A real gate to test against, shared by the daemon's and the console's tests:
// a private bpffs, two namespaces joined by veth pairs (gw0-pr0, gw1-pr1, and
// gw2-pr2 with gw2 a port of the bridge br0, which has no native XDP), a tun
// device mwtun0, and moatwalld on gw0 with a private socket. gw0 has
// 11.77.0.1/16, 2a0e:77::1/32, fd00:77::1/64, its link-local address
// fe80::77:ff:fe00:1, and routes via 11.77.0.9 and 2a0e:77::9.
#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "core/unique_fd.hpp"
#include "support/netns.hpp"

// Why a gate test cannot run here, or "" when it can.
std::string gate_skip_reason();

// A bpffs mounted at fs on a fresh directory, unmounted and removed afterwards.
struct BpfDir {
    std::string dir, fs, pindir, sock;  // pindir: fs + "/moatwall", made by the daemon
    bool mounted = false;
    BpfDir();
    ~BpfDir();
};

// One frame as the peer puts it on the wire (broadcast, from 02:77:00:00:00:02),
// described by "key=value" fields, blank-separated, over a UDP datagram from
// 11.77.0.2 to 11.77.0.1 port 5000; numbers may be 0x hex. Empty when a key is
// unknown.
//   src        source; an IPv6 one makes an IPv6 packet (to 2a0e:77::1)
//   dport      destination port
//   proto      17 UDP (12 bytes), 6 TCP (20 bytes), or any
//   tags       802.1Q tags: 1, or 2 for 802.1ad + 802.1Q
//   ethertype  0 (default): the source's family's
//   version    IP version, 0 (default): the source's family's
//   ihl        IPv4 header length in words, 5
//   tot_len    IPv4 total or IPv6 payload length, -1 (default): what the frame holds
//   frag       IPv4 flags and offset, or IPv6 offset and M flag
//   ext        IPv6 extension headers in order: h hop-by-hop, r routing,
//              d destination options, f fragment (carrying frag)
//   cut        keep only this many bytes, -1 (default) all
std::vector<uint8_t> build_frame(const std::string &desc);

UniqueFd unix_connect(const std::string &path);
// Sends line on fd and reads the reply up to its final OK/ERR line, "" on a 700 ms stall.
std::string talk(int fd, const std::string &line);

struct GateRig {
    BpfDir bpf;
    NetnsGuard gw{"mwgw"}, peer{"mwpr"};
    pid_t pid = -1;
    int exit_status = -1;  // of the last stop, or of a start that failed

    GateRig();
    ~GateRig();
    // The daemon's command line in the gate namespace, behind an optional
    // wrapper (setpriv ..., env ...); pindir and sock default to the rig's.
    std::string daemon_cmd(const std::string &wrapper, const std::string &pindir = "", const std::string &sock = "") const;
    // Starts it; true once its socket answers.
    bool start(const std::string &wrapper = "", const std::string &pindir = "");
    void stop(int sig);
    std::string req(const std::string &line) const { return talk(unix_connect(bpf.sock).fd, line); }

    // The kernel's view through the pins: statistics summed over CPUs, and the
    // lists sorted, one entry a line ("11.77.1.0/24", "2001:db8::/32", "port 23").
    std::vector<uint64_t> stats() const;
    std::string lists() const;
    uint64_t xdp_drops() const;  // as the veth driver counts them on gw0
    unsigned xdp_id(const std::string &ifname) const;  // of the XDP program on a gate-side device, 0 none

    // One frame (see build_frame) from pr0 to gw0; whether it came up past XDP on gw0.
    int raw(const std::string &frame);
};
