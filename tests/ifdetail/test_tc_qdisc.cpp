#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ifdetail/tc_qdisc.hpp"

namespace {

// Odd, cut and hostile listings; real ones come from the qdisc set-ups of the namespace test.
TEST(tc_qdisc, root_drops_and_kinds_of_cut_and_hostile_listings)
{
    const std::string pad(500, ' '), k40(40, 'k');
    const struct {
        const char *what;
        std::string text;
        std::vector<const char *> names;
        std::vector<std::string> want;
    } cases[] = {
        {"watched twice, names match whole, one gone",
         "qdisc mq 1: dev cl root\n Sent (dropped 8,\nqdisc pfifo 2: dev cl parent 1:1\n Sent (dropped 8,\n",
         {"cl", "cl", "c", "gone"}, {"8 mq/pfifo", "8 mq/pfifo", "0 ", "0 "}},
        // A root's own statistics that repeat the count (pie) are not a second count.
        {"statistics after the first line, odd names",
         "qdisc pie 8001: dev w;id>pwn root refcnt 2 limit 1000p\n Sent 9 bytes 1 pkt (dropped 3, overlimits 0)\n"
         " backlog 0b 0p requeues 0\n  prob 0 delay 0us\n  pkts_in 5 overlimit 0 dropped 3 maxq 0 ecn_mark 0\n",
         {"w;id>pwn"}, {"3 pie"}},
        {"no sign, and saturation",
         "qdisc x 1: dev a root\n Sent (dropped -5, dropped 9)\nqdisc y 2: dev b root\n"
         " Sent (dropped 99999999999999999999)\nqdisc z ffff: dev b parent ffff:fff1\n Sent (dropped 1)\n",
         {"a", "b"}, {"0 x", "18446744073709551615 y/z"}},
        {"a count past the kept part of a line is lost",
         "qdisc x 1: dev a root\n Sent " + pad + "(dropped 7, \n", {"a"}, {"0 x"}},
        // The root's options continue on lines of their own: its child is not the second kind.
        {"options over several lines",
         "qdisc mqprio 8001: dev a root tc 2 map 0 0 0 0 1 1 1 1 0 0 0 0 0 0 0 0 \n             queues:(0:1) (2:3) \n"
         "             mode:dcb\n Sent 0 bytes 0 pkt (dropped 2, overlimits 0 requeues 0) \n"
         "qdisc pfifo_fast 0: dev a parent 8001:4 bands 3\n Sent 0 bytes 0 pkt (dropped 2, overlimits 0)\n",
         {"a"}, {"2 mqprio"}},
        {"a qdiscX line is no qdisc line",
         "qdisc x 1: dev a root\n Sent (dropped 1,\nqdiscX y 2: dev a root\n Sent (dropped 5,\n", {"a"}, {"1 x"}},
        {"a listing of one device names none", "qdisc htb 1: root\n Sent (dropped 5,\n", {"a"}, {"0 "}},
        {"kinds cut to fit, no newline at the end",
         "qdisc " + k40 + " 1: dev a root\n Sent (dropped 1,\nqdisc \t b 2: dev a parent 1:1", {"a"},
         {"1 " + k40.substr(0, 31) + "/b"}},
    };
    for (const auto &c : cases) {
        TcListing ls;  // "drops kinds" of each watched name
        tc_listing_init(&ls, c.names.data(), static_cast<int>(c.names.size()));
        tc_listing_text(&ls, c.text);
        std::vector<std::string> got;
        for (int i = 0; i < ls.n; i++) {
            char kinds[64] = "?";
            tc_listing_kinds(&ls, i, kinds, sizeof kinds);
            got.push_back(std::to_string(tc_listing_drops(&ls, i)) + " " + kinds);
        }
        EXPECT_EQ(got, c.want) << c.what;
    }
}

}  // namespace
