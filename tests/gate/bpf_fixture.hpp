// Real BPF maps for the gate tests, made with the bpf system call and pinned in
// a BPF file system mounted for the test alone.
#pragma once
#include <cstdint>
#include <string>

#include "support/tmpdir.hpp"

// Mounts a BPF file system on a fresh directory; unmounted when destroyed.
struct BpfPinDir {
    TempDir tmp;
    std::string path;  // empty when the mount failed
    BpfPinDir();
    ~BpfPinDir();
};

// Creates a map; -1 on failure. flags as for BPF_MAP_CREATE.
int bpf_map_make(uint32_t type, uint32_t key_size, uint32_t value_size, uint32_t max_entries, uint32_t flags = 0);
int bpf_pin(int fd, const std::string &path);
int bpf_put(int fd, const void *key, const void *value);
int bpf_del(int fd, const void *key);

// The gate's three maps, pinned under dir with the names the console opens.
struct GateMaps {
    int drop = -1, ports = -1, stats = -1;
    explicit GateMaps(const std::string &dir, uint32_t stats_entries = 5, uint32_t stats_value = 8);
    ~GateMaps();
    // Sets one statistic: the whole total on CPU 0, zero on the others.
    void set_stat(uint32_t key, uint64_t total) const;
    void add_prefix(const char *dotted, uint32_t len) const;
    void add_port(uint16_t port) const;
};
