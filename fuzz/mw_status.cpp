// The "status" reply as the gate page takes it apart.
#include "gate_peer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 16384) return 0;
    int peer;
    if (!gate_peer_open(data, size, &peer)) return 0;
    mw_refresh_status();
    FUZZ_REQUIRE(g_mw_ngate >= 0 && g_mw_ngate <= 8);
    FUZZ_REQUIRE(fits(g_mw_gif, sizeof g_mw_gif) && displayable(g_mw_gif));
    FUZZ_REQUIRE(fits(g_mw_attmode, sizeof g_mw_attmode) && displayable(g_mw_attmode));
    for (int i = 0; i < g_mw_ngate; i++) FUZZ_REQUIRE(fits(g_mw_gate[i], 16) && displayable(g_mw_gate[i]));
    FUZZ_REQUIRE(displayable(g_mw_msg));
    gate_peer_close(peer);
    return 0;
}
