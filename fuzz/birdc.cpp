// `birdc show ospf neighbors` output, read as the OSPF check reads it.
#include <string>

#include "core/kernel_file.hpp"
#include "core/vis_text.hpp"
#include "fuzz_check.hpp"
#include "overview/birdc_neighbors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = [] {
        ospf_expected_parse("neighbors {\n10.0.0.2; # core-b\n192.168.1.2;\n}\n");
        return true;
    }();
    (void)once;
    static BirdcScan scan;
    birdc_scan_init(&scan);
    std::string_view text = as_text(data, size);
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string raw(text.substr(0, nl == std::string_view::npos ? text.size() : nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        char line[512];
        std::snprintf(line, sizeof line, "%s", raw.c_str());
        rstrip(line);
        vis_inplace(line);
        const char *entry = nullptr;
        bool full = false;
        if (birdc_scan_line(&scan, line, &entry, &full) == BIRDC_NEIGHBOR) {
            FUZZ_REQUIRE(entry >= line && entry < line + sizeof line && displayable(entry));
            FUZZ_REQUIRE(birdc_starts_with_quad(entry));
        }
    }
    FUZZ_REQUIRE(fits(scan.first_line, sizeof scan.first_line) && std::strlen(scan.first_line) <= 120);
    FUZZ_REQUIRE(displayable(scan.first_line));
    return 0;
}
