#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "ifdetail/tc_qdisc.hpp"
#include "support/tmpdir.hpp"

namespace {

// Drop sums and the kinds of the first two lines (as `| head -2` gives them; real
// mq and htb trees are read in the namespace snapshot test).
TEST(tc_qdisc, drops_and_kinds_of_real_cut_and_hostile_listings)
{
    const std::string pad(502, ' '), k40(40, 'k');  // lines are kept to 511 characters
    // `tc -s qdisc show dev X` captured from real qdiscs (iproute2 6.1).
    const std::string HTB_PFIFO = fixture("ifdetail/fixtures/tc_s_qdisc_htb_pfifo.txt");
    const std::tuple<std::string, uint64_t, std::string> cases[] = {
        {HTB_PFIFO, 96, "htb"},  // parent and child both count; kinds from the first two lines only
        {fixture("ifdetail/fixtures/tc_s_qdisc_mq.txt"), 7, "mq"},
        {"qdisc noqueue 0: root refcnt 2 \n Sent 0 bytes 0 pkt (dropped 0, overlimits 0 requeues 0) \n", 0, "noqueue"},
        {"", 0, ""},  // a link that is down lists nothing
        // Cut off mid-listing: what arrived still counts, no trailing newline needed.
        {HTB_PFIFO.substr(0, HTB_PFIFO.find("\nqdisc pfifo")), 48, "htb"},
        {HTB_PFIFO.substr(0, HTB_PFIFO.rfind("dropped 48") + 9), 52, "htb"},
        // A line's first count only, and no sign; a count too large for 64 bits saturates.
        {"qdisc x 1:\n (dropped 5, dropped 9)\n (dropped -5)\n", 5, "x"},
        {" (dropped 99999999999999999999)\n (dropped 1)\n", UINT64_MAX, ""},
        // A count past the kept part of a long line is lost.
        {pad + "dropped 7\n" + pad + " dropped 7\n dropped 1\n", 8, ""},
        // The root's options continue on lines of their own: its child is not the second kind.
        {"qdisc mqprio 8001: root tc 2 map 0 0 0 0 1 1 1 1 0 0 0 0 0 0 0 0 \n             queues:(0:1) (2:3) \n"
         "             mode:dcb\n             shaper:dcb\nqdisc pfifo_fast 0: parent 8001:4 bands 3\n", 0, "mqprio"},
        {"Warning: stray\nqdisc htb 1: root\nqdisc pfifo 10: parent 1:10\n", 0, "htb"},  // no shift
        {"\nqdisc\nqdisc fq 1: root\n", 0, ""},
        {"qdisc " + k40 + " 1:\nqdisc \t b 2:", 0, k40.substr(0, 31) + "/b"},  // cut to 31; no newline at the end
    };
    for (const auto &[text, drops, kinds] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(tc_parse_drops(text), drops);
        char got[64] = "";
        tc_parse_kinds(text, got, sizeof got);
        EXPECT_EQ(got, kinds);
    }
}

}  // namespace
