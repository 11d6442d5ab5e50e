// The gate's four maps made and pinned by the test itself, for the console's
// readers: no daemon, no XDP program, only a mounted bpffs (see BpfDir).
#pragma once
#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <linux/bpf.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/unique_fd.hpp"
#include "moatwall/moatwall_contract.h"

inline long bpf_sys(int cmd, bpf_attr a) { return syscall(__NR_bpf, cmd, &a, sizeof a); }

// Pinned under dir with the names the console opens (stats_entries 0: none at
// all); statistics are set on the last CPU alone, so a sum that stops early shows.
struct GateMaps {
    UniqueFd fd[4];
    explicit GateMaps(const std::string &dir, uint32_t stats_entries = 5, uint32_t stats_value = 8)
    {
        const uint32_t map[4][4] = {{BPF_MAP_TYPE_LPM_TRIE, 8, 1, 1024}, {BPF_MAP_TYPE_HASH, 2, 1, 1024},
                                    {BPF_MAP_TYPE_PERCPU_ARRAY, 4, stats_value, stats_entries},
                                    {BPF_MAP_TYPE_LPM_TRIE, 20, 1, 1024}};
        const char *name[4] = {MW_MAP_DROP4, MW_MAP_DPORTS, MW_MAP_STATS, MW_MAP_DROP6};
        for (int i = 0; stats_entries && i < 4; i++) {
            bpf_attr a{}, p{};
            a.map_type = map[i][0], a.key_size = map[i][1], a.value_size = map[i][2], a.max_entries = map[i][3];
            a.map_flags = map[i][0] == BPF_MAP_TYPE_LPM_TRIE ? BPF_F_NO_PREALLOC : 0;
            std::string path = dir + "/" + name[i];
            fd[i].reset(int(bpf_sys(BPF_MAP_CREATE, a)));
            p.bpf_fd = uint32_t(fd[i].fd), p.pathname = uintptr_t(path.c_str());
            bpf_sys(BPF_OBJ_PIN, p);
        }
    }
    void put(int map, const void *key, const void *value) const
    {
        bpf_attr a{};
        a.map_fd = uint32_t(fd[map].fd), a.key = uintptr_t(key), a.value = uintptr_t(value);
        bpf_sys(BPF_MAP_UPDATE_ELEM, a);
    }
    void set_stat(uint32_t key, uint64_t total) const
    {
        static uint64_t vals[8192 * 2];  // any possible-CPU count, any test value size
        vals[sysconf(_SC_NPROCESSORS_CONF) - 1] = total;
        put(2, &key, vals);
    }
    void add_prefix(const std::string &text, uint32_t len) const
    {
        uint8_t k[20];
        std::memcpy(k, &len, 4);
        bool v6 = text.find(':') != std::string::npos;
        inet_pton(v6 ? AF_INET6 : AF_INET, text.c_str(), k + 4);
        put(v6 ? 3 : 0, k, "\1");
    }
    void add_port(uint16_t port) const { put(1, &port, "\1"); }
};
