// The possible-CPU file (/sys/devices/system/cpu/possible).
#include <string>

#include "fuzz_check.hpp"
#include "gate/mw_maps.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string s(as_text(data, size));
    long n = mw_count_cpu_list(s.c_str());
    FUZZ_REQUIRE(n == -1 || (n >= 1 && n <= 8192));
    return 0;
}
