#include "bpf_fixture.hpp"

#include <arpa/inet.h>
#include <cstring>
#include <linux/bpf.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

static long bpf_call(int cmd, bpf_attr *a) { return syscall(__NR_bpf, cmd, a, sizeof *a); }

BpfPinDir::BpfPinDir()
{
    std::string p = tmp.mkdir("bpf");
    if (mount("bpf", p.c_str(), "bpf", 0, nullptr) == 0) path = p;
}

BpfPinDir::~BpfPinDir()
{
    if (!path.empty()) umount2(path.c_str(), MNT_DETACH);
}

int bpf_map_make(uint32_t type, uint32_t key_size, uint32_t value_size, uint32_t max_entries, uint32_t flags)
{
    bpf_attr a{};
    a.map_type = type;
    a.key_size = key_size;
    a.value_size = value_size;
    a.max_entries = max_entries;
    a.map_flags = flags;
    return static_cast<int>(bpf_call(BPF_MAP_CREATE, &a));
}

int bpf_pin(int fd, const std::string &path)
{
    bpf_attr a{};
    a.bpf_fd = static_cast<uint32_t>(fd);
    a.pathname = reinterpret_cast<uintptr_t>(path.c_str());
    return static_cast<int>(bpf_call(BPF_OBJ_PIN, &a));
}

int bpf_put(int fd, const void *key, const void *value)
{
    bpf_attr a{};
    a.map_fd = static_cast<uint32_t>(fd);
    a.key = reinterpret_cast<uintptr_t>(key);
    a.value = reinterpret_cast<uintptr_t>(value);
    return static_cast<int>(bpf_call(BPF_MAP_UPDATE_ELEM, &a));
}

int bpf_del(int fd, const void *key)
{
    bpf_attr a{};
    a.map_fd = static_cast<uint32_t>(fd);
    a.key = reinterpret_cast<uintptr_t>(key);
    return static_cast<int>(bpf_call(BPF_MAP_DELETE_ELEM, &a));
}

GateMaps::GateMaps(const std::string &dir, uint32_t stats_entries, uint32_t stats_value)
{
    drop = bpf_map_make(BPF_MAP_TYPE_LPM_TRIE, 8, 1, 1024, BPF_F_NO_PREALLOC);
    ports = bpf_map_make(BPF_MAP_TYPE_HASH, 2, 1, 1024);
    stats = bpf_map_make(BPF_MAP_TYPE_PERCPU_ARRAY, 4, stats_value, stats_entries);
    bpf_pin(drop, dir + "/moatwall_drop4");
    bpf_pin(ports, dir + "/moatwall_dports");
    bpf_pin(stats, dir + "/moatwall_stats");
}

GateMaps::~GateMaps()
{
    for (int fd : {drop, ports, stats})
        if (fd >= 0) close(fd);
}

void GateMaps::set_stat(uint32_t key, uint64_t total) const
{
    static uint64_t vals[8192 * 2];  // any possible-CPU count, any test value size
    std::memset(vals, 0, sizeof vals);
    vals[0] = total;
    bpf_put(stats, &key, vals);
}

void GateMaps::add_prefix(const char *dotted, uint32_t len) const
{
    unsigned char key[8];
    std::memcpy(key, &len, 4);
    inet_pton(AF_INET, dotted, key + 4);
    unsigned char one = 1;
    bpf_put(drop, key, &one);
}

void GateMaps::add_port(uint16_t port) const
{
    unsigned char one = 1;
    bpf_put(ports, &port, &one);
}
