// The gate client's reply handling: data lines, then OK or ERR.
#include "gate_peer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 16384) return 0;
    int peer;
    if (!gate_peer_open(data, size, &peer)) return 0;
    g_mw_msg[0] = '\0';
    char reply[512];
    std::memset(reply, 'x', sizeof reply);
    int r = mw_req("status", reply, sizeof reply);
    FUZZ_REQUIRE(r == 0 || r == -1 || r == -2);
    FUZZ_REQUIRE(fits(reply, sizeof reply));
    FUZZ_REQUIRE(r != -2 || g_mwc < 0);  // a broken exchange never leaves the connection open
    FUZZ_REQUIRE(fits(g_mw_msg, sizeof g_mw_msg) && displayable(g_mw_msg));
    gate_peer_close(peer);
    return 0;
}
