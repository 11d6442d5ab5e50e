// `wg show DEV dump` output, one peer line at a time.
#include <string>

#include "fuzz_check.hpp"
#include "overview/wg_dump.hpp"

static bool inside(std::string_view part, std::string_view whole)
{
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text = as_text(data, size);
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string line(text.substr(0, nl == std::string_view::npos ? text.size() : nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        std::string_view lv(line.c_str());  // as the reader hands it over, cut at a NUL
        WgDumpPeer p;
        if (!wg_dump_parse_peer(lv, &p)) continue;
        FUZZ_REQUIRE(!p.key.empty() && inside(p.key, lv) && inside(p.endpoint, lv));
        FUZZ_REQUIRE(p.key.find('\t') == std::string_view::npos && p.endpoint.find('\t') == std::string_view::npos);
    }
    return 0;
}
