// /proc/net/snmp and /proc/net/netstat contents.
#include "fuzz_check.hpp"
#include "overview/nst_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_nst_n = 0;
    nst_parse_paired(as_text(data, size));
    FUZZ_REQUIRE(g_nst_n <= g_nst_cap);
    for (int32_t i = 0; i < g_nst_n; i++) FUZZ_REQUIRE(fits(g_nst[i].name, sizeof g_nst[i].name));
    return 0;
}
