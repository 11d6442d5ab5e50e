// The tools the pages and the burst catcher start: tc and tcpdump.
#include "check/check_report.hpp"
#include "core/settings.hpp"

void check_tools(Check *c)
{
    char out[4096];
    const char *const tc[] = {"tc", "qdisc", "show", "dev", "lo", nullptr};
    int st = check_tool(c, tc, out, sizeof out);
    if (st == 0)
        check_line(c, CHECK_OK, "tc", "answers");
    else if (st == 127)
        check_line(c, CHECK_FAIL, "tc", "not on PATH: install iproute2; qdisc kinds and drops stay empty");
    else
        check_line(c, CHECK_FAIL, "tc", "did not answer (%s); qdisc kinds and drops stay empty",
                   st < 0 ? "no result in time" : "exit status not 0");

    const char *const td[] = {"tcpdump", "--version", nullptr};
    st = check_tool(c, td, out, sizeof out);
    if (st == 0)
        check_line(c, CHECK_OK, "tcpdump", "answers");
    else if (!g_burst_pcap)
        check_line(c, CHECK_NOTE, "tcpdump", "not usable, and not needed with -P");
    else
        check_line(c, CHECK_FAIL, "tcpdump", "%s: bursts are caught without packets; install tcpdump, or pass -P",
                   st == 127 ? "not on PATH" : "does not answer");
}
