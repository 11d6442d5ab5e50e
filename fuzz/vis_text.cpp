// The filter for outside bytes on their way to the terminal.
#include <string>

#include "core/vis_text.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string s(as_text(data, size));
    s = s.c_str();  // the filter takes C strings
    size_t len = s.size();
    std::string name = s;
    vis_inplace(s.data());
    FUZZ_REQUIRE(std::strlen(s.c_str()) == len);
    FUZZ_REQUIRE(displayable(s.c_str()));
    vis_ifname_inplace(name.data());
    for (char c : name) FUZZ_REQUIRE(c >= 0x20 && c <= 0x7e);
    FUZZ_REQUIRE(displayable(vis(s.c_str()).s));
    return 0;
}
