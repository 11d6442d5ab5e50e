// /proc/net/softnet_stat contents.
#include "fuzz_check.hpp"
#include "overview/softnet_stat.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint64_t drops = 1, squeeze = 1;
    softnet_parse(as_text(data, size), &drops, &squeeze);
    if (size == 0) FUZZ_REQUIRE(drops == 0 && squeeze == 0);
    return 0;
}
