// The kernel's SNMP-style protocol counters of the current sample.
#pragma once
#include <cstdint>
#include <string_view>

struct NetstatEntry {
    char name[80];
    uint64_t value;
};

// The files the table is loaded from each sample.
constexpr const char *PROC_NET_SNMP = "/proc/net/snmp";
constexpr const char *PROC_NET_NETSTAT = "/proc/net/netstat";
constexpr const char *PROC_NET_SNMP6 = "/proc/net/snmp6";

extern NetstatEntry *g_nst;
extern int32_t g_nst_n;
extern int32_t g_nst_cap;

// Appends one entry (name cut to 79 characters); 512 entries first, then doubling.
void nst_put(const char *name, uint64_t value);
// Appends every counter of a paired header/value file (/proc/net/snmp, netstat).
// Kernel paths are taken under the fixture root (fs_path).
void nst_load_paired(const char *path);
// Appends every "name value" line of /proc/net/snmp6.
void nst_load_snmp6(const char *path);
// The same two parsers on file contents already in memory.
void nst_parse_paired(std::string_view text);
void nst_parse_snmp6(std::string_view text);
// First entry named exactly name; false when absent.
bool nst_get(const char *name, uint64_t *value);
// Per-sample reload of /proc/net/snmp, /proc/net/netstat and /proc/net/snmp6.
void nst_refresh();

