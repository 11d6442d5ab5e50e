#include "export/tf_notes.hpp"

#include <cstdio>
#include <cstring>

#include "core/settings.hpp"
#include "core/strbuf.hpp"
#include "overview/birdc_neighbors.hpp"
#include "topology/wg_discover.hpp"

TfPeer g_tf_peers[TF_MAX_PEERS];
int32_t g_tf_npeers = 0;
TfNeighbor g_tf_nb[TF_MAX_NEIGHBORS];
int32_t g_tf_nnb = 0;
int g_tf_ospf = -1;
bool g_tf_exp_seen[MAX_OSPF_EXP];

void tf_forget_notes()
{
    g_tf_npeers = 0;
    g_tf_nnb = 0;
    g_tf_ospf = -1;
}

void tf_note_wg_peer(const char *dev, std::string_view key, int64_t handshake, uint64_t rx, uint64_t tx)
{
    if (!g_textfile || g_tf_npeers >= TF_MAX_PEERS) return;
    TfPeer *p = &g_tf_peers[g_tf_npeers++];
    copy_cut(p->dev, sizeof p->dev, dev);
    copy_cut(p->key, sizeof p->key, key);
    wg_peer_display_name(key, p->name);
    p->handshake = handshake;
    p->rx = rx;
    p->tx = tx;
}

void tf_note_ospf_neighbor(const char *entry, bool full)
{
    if (!g_textfile || g_tf_nnb >= TF_MAX_NEIGHBORS) return;
    TfNeighbor *nb = &g_tf_nb[g_tf_nnb];
    unsigned q[4];
    if (std::sscanf(entry, "%u.%u.%u.%u", &q[0], &q[1], &q[2], &q[3]) != 4) return;
    std::snprintf(nb->router_id, sizeof nb->router_id, "%u.%u.%u.%u", q[0] & 255, q[1] & 255, q[2] & 255,
                  q[3] & 255);
    if (!birdc_last_ipv4(entry, nb->address)) copy_cut(nb->address, sizeof nb->address, nb->router_id);
    nb->full = full;
    g_tf_nnb++;
}

void tf_note_ospf_table(bool readable, const BirdcScan *scan)
{
    if (!g_textfile) return;
    g_tf_ospf = readable && scan ? 1 : 0;
    for (int i = 0; i < MAX_OSPF_EXP; i++) g_tf_exp_seen[i] = scan && scan->expected_seen[i];
}
