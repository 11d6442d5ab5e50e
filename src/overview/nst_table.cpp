#include "overview/nst_table.hpp"

#include <cstdlib>
#include <cstring>

NetstatEntry *g_nst = nullptr;
int32_t g_nst_n = 0;
int32_t g_nst_cap = 0;

void nst_put(const char *name, uint64_t value)
{
    if (g_nst_n >= g_nst_cap) {
        if (g_nst_cap > INT32_MAX / 2) return;
        int32_t cap = g_nst_cap ? g_nst_cap * 2 : 512;
        void *p = std::realloc(g_nst, static_cast<size_t>(cap) * sizeof(NetstatEntry));
        if (!p) return;  // the counter is left out; the table stays as it was
        g_nst = static_cast<NetstatEntry *>(p);
        g_nst_cap = cap;
    }
    NetstatEntry &e = g_nst[g_nst_n++];
    size_t n = strnlen(name, sizeof e.name - 1);
    std::memcpy(e.name, name, n);
    e.name[n] = '\0';
    e.value = value;
}

bool nst_get(const char *name, uint64_t *value)
{
    for (int32_t i = 0; i < g_nst_n; i++) {
        if (std::strcmp(g_nst[i].name, name) == 0) {
            *value = g_nst[i].value;
            return true;
        }
    }
    return false;
}

// Earlier files win on duplicate names, since lookups take the first match.
void nst_refresh()
{
    g_nst_n = 0;
    nst_load_paired(PROC_NET_SNMP);
    nst_load_paired(PROC_NET_NETSTAT);
    nst_load_snmp6(PROC_NET_SNMP6);
}

