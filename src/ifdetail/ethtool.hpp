// Ethtool requests on the shared socket g_ethsock.
#pragma once
#include <cstdint>

constexpr uint32_t ETH_GSTRING_LEN_BYTES = 32;

// Issues SIOCETHTOOL for ifname (cut to 15 characters) with the command structure cmd.
int eth_ioctl(const char *ifname, void *cmd);
// Names of one string set: a new heap block of count * 32 bytes through out.
// Returns 0, or -1 with out untouched.
int eth_gstrings(const char *ifname, uint32_t set, uint32_t count, char **out);
