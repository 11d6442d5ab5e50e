// Expected OSPF neighbours, read from the BIRD configuration's neighbors blocks.
#pragma once
#include <cstdint>

struct OspfExpected {
    char address[48];  // normalised dotted quad
    char label[64];    // comment text, or the address again
};
constexpr int MAX_OSPF_EXP = 32;
extern OspfExpected g_ospf_exp[MAX_OSPF_EXP];
extern int32_t g_n_ospf_exp;

// Whether text holds an IPv4 address; the first one goes to out, normalised.
bool looks_ipv4(const char *text, char out[48]);
void load_ospf_expected(const char *path);
// Takes one line of the configuration (modified in place): opens or closes a
// neighbors block, or adds the line's first address while inside one.
void ospf_conf_line(bool *in_block, char *line);
