// /proc/net/snmp6 contents.
#include "fuzz_check.hpp"
#include "overview/nst_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_nst_n = 0;
    nst_parse_snmp6(as_text(data, size));
    for (int32_t i = 0; i < g_nst_n; i++) {
        FUZZ_REQUIRE(fits(g_nst[i].name, sizeof g_nst[i].name));
        FUZZ_REQUIRE(g_nst[i].name[0] != '\0');
    }
    return 0;
}
