// The gate client's reply handling: data lines, then OK or ERR, and nothing
// of one reply left for the next.
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
    if (r == 0) {  // a command's notes, as the message line shows them
        mw_msg_done("bogons seeded", reply);
        FUZZ_REQUIRE(fits(g_mw_msg, sizeof g_mw_msg) && displayable(g_mw_msg));
    }
    // Whatever followed the final line is never taken for the next reply: the
    // peer has nothing more to say, so the next exchange finds no daemon.
    if (r != -2) {
        FUZZ_REQUIRE(mw_req("status", reply, sizeof reply) == -2);
        FUZZ_REQUIRE(reply[0] == '\0');
    }
    gate_peer_close(peer);
    return 0;
}
