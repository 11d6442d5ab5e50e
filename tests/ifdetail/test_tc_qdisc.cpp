#include <gtest/gtest.h>

#include <string>

#include "ifdetail/tc_qdisc.hpp"

namespace {

// `tc -s qdisc show dev X` captured from real qdiscs (iproute2 6.1).
const char *HTB_PFIFO =
    "qdisc htb 1: root refcnt 3 r2q 10 default 0x10 direct_packets_stat 0 direct_qlen 1000\n"
    " Sent 142 bytes 1 pkt (dropped 48, overlimits 1 requeues 0) \n"
    " backlog 184b 2p requeues 0\n"
    "qdisc pfifo 10: parent 1:10 limit 2p\n"
    " Sent 142 bytes 1 pkt (dropped 48, overlimits 0 requeues 0) \n"
    " backlog 184b 2p requeues 0\n";
const char *MQ =
    "qdisc mq 1: root \n"
    " Sent 0 bytes 0 pkt (dropped 0, overlimits 0 requeues 0) \n"
    " backlog 0b 0p requeues 0\n"
    "qdisc pfifo_fast 0: parent 1:4 bands 3 priomap 1 2 2 2 1 2 0 0 1 1 1 1 1 1 1 1\n"
    " Sent 0 bytes 0 pkt (dropped 3, overlimits 0 requeues 0) \n"
    " backlog 0b 0p requeues 0\n"
    "qdisc fq_codel 0: parent 1:3 limit 10240p flows 1024 quantum 1514 target 5ms interval 100ms\n"
    " Sent 0 bytes 0 pkt (dropped 4, overlimits 0 requeues 0) \n";
const char *PFIFO_FAST =
    "qdisc pfifo_fast 8001: root refcnt 3 bands 3 priomap 1 2 2 2 1 2 0 0 1 1 1 1 1 1 1 1\n"
    " Sent 0 bytes 0 pkt (dropped 0, overlimits 0 requeues 0) \n"
    " backlog 0b 0p requeues 0\n";
const char *NOQUEUE =
    "qdisc noqueue 0: root refcnt 2 \n"
    " Sent 0 bytes 0 pkt (dropped 0, overlimits 0 requeues 0) \n"
    " backlog 0b 0p requeues 0\n";

TEST(tc_qdisc, real_listings_give_kinds_and_drop_sums)
{
    struct Case {
        std::string text;
        const char *kinds;
        uint64_t drops;
    };
    const std::string htb = HTB_PFIFO;
    const Case cases[] = {
        {HTB_PFIFO, "htb/pfifo", 96},  // parent and child both count
        {MQ, "mq/pfifo_fast", 7},      // only the first two kinds, every line's drops
        {PFIFO_FAST, "pfifo_fast", 0},
        {NOQUEUE, "noqueue", 0},
        {"", "", 0},
        {"Cannot find device \"nosuch\"\n", "", 0},
        // Cut off mid-listing: what arrived still counts, no trailing newline needed.
        {htb.substr(0, htb.find("\nqdisc pfifo")), "htb", 48},
        {htb.substr(0, htb.rfind("dropped 48") + 9), "htb/pfifo", 52},
        // Only the first "dropped " of a line; no sign, no blanks taken as a number.
        {"qdisc x 1: root\n (dropped 5, dropped 9)\n (dropped -5)\n (dropped  6)\n(dropped 99999999999999999999)\n",
         "x", UINT64_MAX},
        {"qdiscs a\n qdisc b\nqdisc\nqdisc \nqdisc\tc 1:\n", "c", 0},
    };
    for (const Case &c : cases) {
        char kinds[64];
        tc_parse_kinds(c.text, kinds, sizeof kinds);
        EXPECT_STREQ(kinds, c.kinds) << c.text;
        EXPECT_EQ(tc_parse_drops(c.text), c.drops) << c.text;
    }
}

TEST(tc_qdisc, long_lines_and_kinds_are_cut)
{
    std::string long_kind(40, 'k');
    char kinds[64];
    tc_parse_kinds("qdisc " + long_kind + " 1: root\nqdisc " + long_kind + " 2:\n", kinds, sizeof kinds);
    EXPECT_EQ(std::string(kinds), long_kind.substr(0, 31) + "/" + long_kind.substr(0, 31));
    tc_parse_kinds("qdisc htb 1:\nqdisc pfifo 2:\n", kinds, 6);
    EXPECT_STREQ(kinds, "htb/p");

    // A count beyond the kept part of an over-long line is lost, not misread.
    std::string pad(TC_STATS_LINE_MAX - 9, ' ');
    EXPECT_EQ(tc_parse_drops(pad + "dropped 7\n" + pad + " dropped 7\n dropped 1\n"), 8u);
}

}  // namespace
