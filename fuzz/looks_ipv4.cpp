// The IPv4 address finder shared by the configuration and the birdc reader.
#include <string>

#include "fuzz_check.hpp"
#include "topology/ospf_expected.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(as_text(data, size));  // stops at the first NUL, as a C string does
    char out[48];
    std::memset(out, 'x', sizeof out);
    if (!looks_ipv4(text.c_str(), out)) return 0;
    unsigned o[4];
    int n = 0;
    FUZZ_REQUIRE(std::sscanf(out, "%u.%u.%u.%u%n", &o[0], &o[1], &o[2], &o[3], &n) == 4);
    FUZZ_REQUIRE(out[n] == '\0');
    for (unsigned v : o) FUZZ_REQUIRE(v <= 255);
    char again[48];
    FUZZ_REQUIRE(looks_ipv4(out, again) && std::strcmp(again, out) == 0);
    return 0;
}
