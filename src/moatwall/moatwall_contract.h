/* What the XDP gate, its daemon moatwalld and the monitor's map reader agree on.
 * Plain C: the BPF program, the daemon and the monitor all include it. */
#ifndef MOATWALL_CONTRACT_H
#define MOATWALL_CONTRACT_H

#include <linux/types.h>

/* Pin directory of the gate's maps (and of the daemon's XDP link). */
#define MW_PIN_DIR "/sys/fs/bpf/moatwall"

/* Pinned map names under MW_PIN_DIR. */
#define MW_MAP_DROP4 "moatwall_drop4"   /* LPM trie: struct mw_drop4_key -> __u8 */
#define MW_MAP_DROP6 "moatwall_drop6"   /* LPM trie: struct mw_drop6_key -> __u8 */
#define MW_MAP_DPORTS "moatwall_dports" /* hash: __u16 port, host order -> __u8 */
#define MW_MAP_STATS "moatwall_stats"   /* per-CPU array: __u32 key -> __u64 */

/* Control socket of moatwalld: one request line in, data lines then OK/ERR out. */
#define MW_SOCK_PATH "/run/moatwall.sock"

/* Key of MW_MAP_DROP4, the kernel's LPM-trie key form: prefix length in host
 * order, then the IPv4 address as it appears on the wire. */
struct mw_drop4_key {
    __u32 prefixlen;
    __u8 addr[4];
};

/* Key of MW_MAP_DROP6: prefix length in host order, then the 16 address bytes
 * as they appear on the wire. */
struct mw_drop6_key {
    __u32 prefixlen;
    __u8 addr[16];
};

/* Keys of MW_MAP_STATS; every packet the program sees lands in exactly one. */
enum mw_stat_key {
    MW_STAT_PASS = 0,      /* "mw.pass": IPv4 or IPv6 that matched no list */
    MW_STAT_DROPSRC = 1,   /* "mw.dropsrc": dropped, source in a drop prefix */
    MW_STAT_DROPPORT = 2,  /* "mw.dropport": dropped, TCP/UDP destination port listed */
    MW_STAT_NONIP = 3,     /* "mw.nonip": passed, neither IPv4 nor IPv6 */
    MW_STAT_MALFORMED = 4, /* "mw.malformed": dropped, truncated or impossible header */
    MW_STAT_COUNT = 5
};

/* Capacities of the drop lists. */
#define MW_DROP4_MAX 16384
#define MW_DROP6_MAX 16384
#define MW_DPORTS_MAX 1024

#endif
