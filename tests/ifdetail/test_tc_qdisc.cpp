#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "ifdetail/tc_qdisc.hpp"

namespace {

// `tc -s qdisc show dev X` captured from real qdiscs (iproute2 6.1).
const std::string HTB_PFIFO =
    "qdisc htb 1: root refcnt 3 r2q 10 default 0x10 direct_packets_stat 0 direct_qlen 1000\n"
    " Sent 142 bytes 1 pkt (dropped 48, overlimits 1 requeues 0) \n backlog 184b 2p requeues 0\n"
    "qdisc pfifo 10: parent 1:10 limit 2p\n"
    " Sent 142 bytes 1 pkt (dropped 48, overlimits 0 requeues 0) \n backlog 184b 2p requeues 0\n";

TEST(tc_qdisc, kinds_and_drop_sums_of_real_cut_and_hostile_listings)
{
    const std::string pad(TC_STATS_LINE_MAX - 9, ' '), k40(40, 'k');
    const std::tuple<std::string, std::string, uint64_t> cases[] = {
        {HTB_PFIFO, "htb/pfifo", 96},  // parent and child both count
        // The first two kinds, but every line's drops.
        {"qdisc mq 1: root \n Sent 0 bytes 0 pkt (dropped 0, overlimits 0 requeues 0) \n backlog 0b 0p requeues 0\n"
         "qdisc pfifo_fast 0: parent 1:4 bands 3 priomap 1 2 2 2 1 2 0 0 1 1 1 1 1 1 1 1\n"
         " Sent 0 bytes 0 pkt (dropped 3, overlimits 0 requeues 0) \n backlog 0b 0p requeues 0\n"
         "qdisc fq_codel 0: parent 1:3 limit 10240p flows 1024 quantum 1514 target 5ms interval 100ms\n"
         " Sent 0 bytes 0 pkt (dropped 4, overlimits 0 requeues 0) \n backlog 0b 0p requeues 0\n", "mq/pfifo_fast", 7},
        {"qdisc noqueue 0: root refcnt 2 \n Sent 0 bytes 0 pkt (dropped 0, overlimits 0 requeues 0) \n", "noqueue", 0},
        {"", "", 0},  // a link that is down lists nothing
        // Cut off mid-listing: what arrived still counts, no trailing newline needed.
        {HTB_PFIFO.substr(0, HTB_PFIFO.find("\nqdisc pfifo")), "htb", 48},
        {HTB_PFIFO.substr(0, HTB_PFIFO.rfind("dropped 48") + 9), "htb/pfifo", 52},
        // A line's first count only, and no sign; a count too large for 64 bits saturates.
        {"qdisc x 1:\n (dropped 5, dropped 9)\n (dropped -5)\n", "x", 5},
        {" (dropped 99999999999999999999)\n (dropped 1)\n", "", UINT64_MAX},
        // Kinds are cut to 31 bytes; a count past the kept part of a long line is lost.
        {"qdisc " + k40 + " 1:\n" + pad + "dropped 7\n" + pad + " dropped 7\n dropped 1\n", k40.substr(0, 31), 8},
    };
    for (const auto &[text, kinds, drops] : cases) {
        SCOPED_TRACE(text);
        char got[64];
        tc_parse_kinds(text, got, sizeof got);
        EXPECT_EQ(got, kinds);
        EXPECT_EQ(tc_parse_drops(text), drops);
    }
}

}  // namespace
