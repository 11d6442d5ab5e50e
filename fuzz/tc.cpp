// `tc -s qdisc show` listings of every device, sorted out to a few watched names.
#include "fuzz_check.hpp"
#include "ifdetail/tc_qdisc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const names[] = {"ht", "mq", "in", "cl", "eth0", "ht"};
    constexpr int n = sizeof names / sizeof names[0];
    TcListing ls;
    tc_listing_init(&ls, names, n);
    tc_listing_text(&ls, as_text(data, size));
    for (int i = 0; i < n; i++) {
        (void)tc_listing_drops(&ls, i);
        char kinds[64];
        std::memset(kinds, 'x', sizeof kinds);
        tc_listing_kinds(&ls, i, kinds, sizeof kinds);
        FUZZ_REQUIRE(fits(kinds, sizeof kinds) && displayable(kinds));
    }
    return 0;
}
