// Values that exist only while page 1 is built (a tool's output), noted by the
// page as it goes and read by the export. Kept only while g_textfile is set,
// and emptied after every write.
#pragma once
#include <cstdint>
#include <string_view>

#include "topology/ospf_expected.hpp"

struct BirdcScan;

struct TfPeer {
    char dev[16];
    char key[64];
    char name[64];      // as page 1 shows it
    int64_t handshake;  // seconds since the epoch, 0 = never
    uint64_t rx, tx;
};
// A hub's peers are all exported, up to this many per sample.
constexpr int TF_MAX_PEERS = 1024;
extern TfPeer g_tf_peers[TF_MAX_PEERS];
extern int32_t g_tf_npeers;

struct TfNeighbor {
    char router_id[16];
    char address[48];
    bool full;
};
constexpr int TF_MAX_NEIGHBORS = 256;
extern TfNeighbor g_tf_nb[TF_MAX_NEIGHBORS];
extern int32_t g_tf_nnb;
extern int g_tf_ospf;  // -1 section not run (no client), 0 no table, 1 table read
extern bool g_tf_exp_seen[MAX_OSPF_EXP];

void tf_note_wg_peer(const char *dev, std::string_view key, int64_t handshake, uint64_t rx, uint64_t tx);
void tf_note_ospf_neighbor(const char *entry, bool full);
// The end of the OSPF section: whether its MISSING check ran, and what it found.
void tf_note_ospf_table(bool readable, const BirdcScan *scan);
// After a write: the next sample notes afresh.
void tf_forget_notes();
