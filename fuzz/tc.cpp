// `tc -s qdisc show` and `tc qdisc show` listings.
#include "fuzz_check.hpp"
#include "ifdetail/tc_qdisc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text = as_text(data, size);
    (void)tc_parse_drops(text);
    char kinds[64];
    std::memset(kinds, 'x', sizeof kinds);
    tc_parse_kinds(text, kinds, sizeof kinds);
    FUZZ_REQUIRE(fits(kinds, sizeof kinds) && displayable(kinds));
    return 0;
}
