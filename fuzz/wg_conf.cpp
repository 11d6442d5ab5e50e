// A WireGuard configuration file: peer names from comments above PublicKey.
#include "fuzz_check.hpp"
#include "topology/wg_discover.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_n_peer_names = 0;
    wg_conf_names_parse(as_text(data, size));
    FUZZ_REQUIRE(g_n_peer_names >= 0 && g_n_peer_names <= MAX_PEER_NAMES);
    for (int32_t i = 0; i < g_n_peer_names; i++) {
        const PeerName &p = g_peer_names[i];
        FUZZ_REQUIRE(fits(p.key, sizeof p.key) && fits(p.name, sizeof p.name));
        FUZZ_REQUIRE(p.name[0] != '\0' && displayable(p.name));
        FUZZ_REQUIRE(std::strpbrk(p.name, " \t") == nullptr);
        for (const char *k = p.key; *k; k++) FUZZ_REQUIRE(*k != ' ' && *k != '\t' && *k != '\n' && *k != '\r');
    }
    return 0;
}
