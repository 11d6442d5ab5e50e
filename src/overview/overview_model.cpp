#include "overview/overview_model.hpp"

#include "core/kernel_file.hpp"
#include "overview/conntrack.hpp"
#include "overview/softnet_stat.hpp"

uint64_t g_wg_link[MAX_WGDEVS][N_WG_LINK_STATS];
SoftnetSums g_softnet;
WgDump g_wg_dump[MAX_WGDEVS];
OspfRun g_ospf_run;

void overview_collect()
{
    for (int32_t d = 0; d < g_n_wgdevs && d < MAX_WGDEVS; d++)
        for (int i = 0; i < N_WG_LINK_STATS; i++) g_wg_link[d][i] = sysstat(g_wgdevs[d], WG_LINK_STATS[i]);
    g_softnet = SoftnetSums{0, 0};
    softnet_read(&g_softnet.drops, &g_softnet.squeeze);
    conntrack_collect();
    wg_peers_collect();
    ospf_collect();
}
