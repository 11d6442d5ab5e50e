#include "ifdetail/ifdetail_model.hpp"

#include <cstring>
#include <linux/ethtool.h>

#include "core/settings.hpp"
#include "ifdetail/ethtool.hpp"
#include "topology/iface_names.hpp"
#include "topology/ifaces.hpp"

NicValues g_nic_vals[MAX_NICS];
bool g_role_missing[N_IF_ROLES];
char g_ifs_here[400];

// The kernel writes as many values as the driver has now; a count that moved
// (queues changed, driver reset) would misalign values and names.
static bool read_values(EthDev *d, NicValues *out)
{
    if (d->n_stats == 0 || d->n_watch == 0 || d->recount || !d->stat_names) return false;
    uint32_t now = 0;
    if (eth_sset_count(d->name, ETH_SS_STATS, &now) != 0) return false;
    if (now != d->n_stats) {
        d->recount = 1;
        return false;
    }
    EthStats st;
    uint32_t answered = d->n_stats;
    if (eth_gstats(d->name, d->n_stats, &st, &answered) != 0) {
        if (answered != d->n_stats) d->recount = 1;
        return false;
    }
    std::memcpy(out->v, st.v, d->n_stats * sizeof out->v[0]);
    return true;
}

void ifdetail_collect(EthDev *nics, int32_t n_nics)
{
    nics_recount(nics, n_nics);
    for (int32_t i = 0; i < MAX_NICS; i++) g_nic_vals[i].ok = i < n_nics && read_values(&nics[i], &g_nic_vals[i]);
    const char *roles[N_IF_ROLES] = {g_wan, g_lan};
    g_ifs_here[0] = '\0';
    for (int r = 0; r < N_IF_ROLES; r++) {
        g_role_missing[r] = !if_exists(roles[r]);
        if (g_role_missing[r] && !g_ifs_here[0]) list_interfaces(g_ifs_here, sizeof g_ifs_here);
    }
}
