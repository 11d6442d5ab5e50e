// A real gate to test against: a private bpffs, two namespaces joined by a
// veth pair (gw0 in the gate's namespace, pr0 in the peer's), and moatwalld
// started on gw0 with its pin directory and socket under a private directory.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "core/unique_fd.hpp"
#include "gate/moatwall_contract.h"
#include "support/netns.hpp"

// Why a gate test cannot run here, or "" when it can.
std::string gate_skip_reason();

// A bpffs mounted on a fresh directory, unmounted and removed afterwards.
struct BpfDir {
    std::string dir, pindir, sock;
    BpfDir();
    ~BpfDir();
};

// One frame as the peer puts it on the wire.
struct Frame {
    int tags = 0;             // 802.1Q tags: 1, or 2 for 802.1ad + 802.1Q
    uint16_t ethertype = 0x0800;
    const char *src = "11.77.0.2";
    const char *dst = "11.77.0.1";
    uint8_t proto = 17;       // 17 UDP, 6 TCP (SYN)
    uint16_t dport = 5000;
    int version = 4;
    int ihl = 5;
    int tot_len = -1;         // -1: what the frame holds
    uint16_t frag = 0;        // fragment field, host order
    int cut = -1;             // keep only this many bytes, -1 all
};
std::vector<uint8_t> build_frame(const Frame &f, const uint8_t dmac[6], const uint8_t smac[6]);

// A socket created inside namespace ns (it stays there after we return).
UniqueFd ns_socket(const std::string &ns, int domain, int type, int proto);

struct GateRig {
    BpfDir bpf;
    NetnsGuard gw{"mwgw"}, peer{"mwpr"};
    uint8_t gw_mac[6] = {}, pr_mac[6] = {};
    pid_t pid = -1;
    std::string log;

    GateRig();
    ~GateRig();
    // Starts moatwalld in the gate namespace, with extra leading words (a
    // wrapper such as setpriv) when given; true once its socket answers.
    bool start(const std::string &wrapper = "");
    void stop(int sig);           // signal and reap
    int exit_status = -1;         // of the last stop
    // One request over a fresh connection; the whole reply, "" on time-out.
    std::string req(const std::string &line) const;

    // Statistics summed over CPUs, read with bpftool from the pinned map.
    std::vector<uint64_t> stats() const;
    // Pinned list contents as bpftool shows them ("a.b.c.d/len" and ports).
    std::vector<std::string> prefixes() const;
    std::vector<unsigned> ports() const;
    void clear_lists() const;
    // Name of the XDP program attached to a gate-namespace interface, "" none.
    std::string xdp_on(const std::string &ifname) const;

    // Traffic from the peer; true when it reached the gate's socket.
    bool udp(const char *src, uint16_t dport, const char *dst = "11.77.0.1");
    bool tcp(const char *src, uint16_t dport);
    void raw(const Frame &f, int count = 1, const char *dev = "pr0");
};

// Sum of stats deltas, key by key.
std::vector<uint64_t> delta(const std::vector<uint64_t> &after, const std::vector<uint64_t> &before);
