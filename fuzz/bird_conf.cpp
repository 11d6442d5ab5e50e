// The BIRD configuration: expected neighbours inside neighbors blocks.
#include "fuzz_check.hpp"
#include "topology/ospf_expected.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ospf_expected_parse(as_text(data, size));
    FUZZ_REQUIRE(g_n_ospf_exp >= 0 && g_n_ospf_exp <= MAX_OSPF_EXP);
    for (int32_t i = 0; i < g_n_ospf_exp; i++) {
        const OspfExpected &e = g_ospf_exp[i];
        FUZZ_REQUIRE(fits(e.address, sizeof e.address) && fits(e.label, sizeof e.label));
        FUZZ_REQUIRE(e.label[0] != '\0' && displayable(e.label));
        char again[48];  // already normal: the finder gives it back unchanged
        FUZZ_REQUIRE(looks_ipv4(e.address, again) && std::strcmp(again, e.address) == 0);
    }
    return 0;
}
