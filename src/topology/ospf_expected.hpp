// Expected OSPF neighbours, read from the BIRD configuration's neighbors blocks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

struct OspfExpected {
    char address[48];  // normalised dotted quad
    char label[64];    // comment text, or the address again
};
constexpr int MAX_OSPF_EXP = 32;
extern OspfExpected g_ospf_exp[MAX_OSPF_EXP];
extern int32_t g_n_ospf_exp;

// A dotted quad starting exactly at p: four runs of digits (no signs or blanks),
// each at most 255. Gives the numbers and the length of the dotted text.
bool ipv4_at(const char *p, unsigned o[4], size_t *len);
// The first dotted quad in text, or nullptr. A failed candidate resumes the search
// inside its own dotted text, so 300.1.2.3.4 yields 1.2.3.4.
const char *find_ipv4(const char *text, unsigned o[4], size_t *len);
// Whether text holds an IPv4 address; the first one goes to out, normalised.
bool looks_ipv4(const char *text, char out[48]);
void load_ospf_expected(const char *path);
// The same on a file's contents already in memory.
void ospf_expected_parse(std::string_view text);
// Takes one line of the configuration (modified in place): opens or closes a
// neighbors block, or adds the line's first address while inside one.
void ospf_conf_line(bool *in_block, char *line);
