// A copied kfree_skb trace: stacks by transmit-path frame and drop reasons.
#include "burst/trace_classify.hpp"
#include "core/text_lines.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ReasonTally rt;
    rt.n = 0;
    rt.other = 0;
    StackTally st;
    // Line by line, cut to 511 bytes, as the capture reads its copy of the trace.
    LineSource src = lines_of(as_text(data, size));
    char line[512];
    while (ls_getline(&src, line, sizeof line) >= 0) {
        stack_tally_line(&st, line);
        reason_tally_line(&rt, line);
    }
    char txpath[192];
    txpath_summary(st, txpath, sizeof txpath);
    FUZZ_REQUIRE(fits(txpath, sizeof txpath));
    FUZZ_REQUIRE(rt.n >= 0 && rt.n <= REASON_SLOTS);
    for (int32_t i = 0; i < rt.n; i++) {
        FUZZ_REQUIRE(rt.e[i].count > 0);
        FUZZ_REQUIRE(displayable(rt.e[i].reason) && displayable(rt.e[i].func));
        FUZZ_REQUIRE(rt.e[i].reason[0] && rt.e[i].func[0]);
    }
    static FILE *null = std::fopen("/dev/null", "w");
    reasons_write(&rt, null);
    return 0;
}
