#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <unistd.h>

#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/kernel_file.hpp"
#include "overview/conntrack.hpp"
#include "overview/nst_table.hpp"
#include "overview/overview_model.hpp"
#include "overview/page_overview.hpp"
#include "overview/softnet_stat.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"

// Every reader over fixture /proc trees: the counter table, the softnet sums and the
// conntrack fill, against the tree's file "expected". The trees:
// - counter_files_in_order: the three counter files in order, a repeated name kept; a zero
//   conntrack maximum counts as 1.
// - broken_pairs_and_short_lines: a broken pair costs both its lines, without
//   re-synchronisation; short lines lose their ends.
// - lines_cut_inside_a_token: either line of a pair longer than the 4095 characters kept,
//   cut inside a token: the counters before the cut, still in step, then the next pair.
// - long_names_and_cut_values: a name of 80 characters or more is skipped whole; a value split by the
//   cut is dropped.
// - softnet_cut_lines: the rest of a cut line is no line of its own; a cut third column is
//   not added.
// - directories_where_files_belong: they read as missing files.
TEST(proc_net_files, readers_on_fixture_trees)
{
    for (const char *tree : {"counter_files_in_order", "broken_pairs_and_short_lines", "lines_cut_inside_a_token",
                             "long_names_and_cut_values", "softnet_cut_lines", "directories_where_files_belong"}) {
        SCOPED_TRACE(tree);
        const std::string dir = TW_SOURCE_DIR "/tests/overview/fixtures/proc_trees/" + std::string(tree);
        fsroot_set(dir.c_str());
        nst_refresh();
        std::string got;
        for (int i = 0; i < g_nst_n; i++) got += g_nst[i].name + ("=" + std::to_string(g_nst[i].value) + " ");
        uint64_t drops, squeezes, count, max;
        uint32_t pct;
        softnet_read(&drops, &squeezes);
        conntrack_read(&count, &max, &pct);
        char tail[96];
        std::snprintf(tail, sizeof tail, "| %lu %lu | %lu %lu %u\n", drops, squeezes, count, max, pct);
        EXPECT_EQ(got + tail, read_whole_file(dir + "/expected"));
    }
}

// read_file_str keeps at most size - 1 bytes, untrimmed; rstrip takes exactly four blank kinds.
TEST(read_util, read_file_str_and_rstrip)
{
    TempDir t;
    char buf[8];
    ASSERT_EQ(read_file_str(t.write("f", "x\v \t\r\n\nyz").c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "x\v \t\r\n\n");
    rstrip(buf);
    EXPECT_STREQ(buf, "x\v");
}

// A router namespace forwards a 1400-byte datagram onto a link of MTU 1280 and answers
// with Packet Too Big, then meets a little UDP of its own: the counters match iproute2's
// nstat (which leaves out the gauges such as IpForwarding), and page 1 shows its count.
TEST(nst_kernel, counters_and_overview_match_nstat_in_a_router_namespace)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard s("twptbS"), r("twptbR");
    const std::string rig = TW_SOURCE_DIR "/tests/overview/fixtures/router/";
    ASSERT_EQ(sh(rig + "links " + s.name + " " + r.name), 0);
    EXPECT_EQ(in_netns(r.name, [&] {
        sh(rig + "local_udp");
        // The kernel's own IPv6 chatter (neighbour and listener reports) can still move counters
        // at any moment, so compare only a read that nstat saw unchanged on both sides of it.
        std::string theirs, nst;
        for (int tries = 0; tries < 100; tries++) {
            std::string before = sh_out("nstat -asz | awk 'NR > 1 {print $1, $2}'");
            nst_refresh();
            theirs = sh_out("nstat -asz | awk 'NR > 1 {print $1, $2}'");
            if (before == theirs) break;
            usleep(50 * 1000);
        }
        nst = "\n";
        for (int i = 0; i < g_nst_n; i++) nst += g_nst[i].name + (" " + std::to_string(g_nst[i].value) + "\n");
        // One datagram met the closed port; seeing it also shows that nstat printed its counters.
        std::string diff = theirs.find("\nUdpNoPorts 1\n") == std::string::npos ? "no traffic seen\n" : "";
        std::istringstream lines(theirs);
        for (std::string line; std::getline(lines, line);)
            if (nst.find("\n" + line + "\n") == std::string::npos) diff += line + "\n";
        g_birdc = "/nonexistent/birdc";
        overview_collect();
        render_overview();
        const char *line = std::strstr(PAGES[0].buf, "\n  Icmp6 PktTooBig out: ");
        unsigned long long ours = ~0ull;
        if (line) std::sscanf(line + 23, "%llu", &ours);
        return diff + std::to_string(ours) + " vs nstat " + sh_out("nstat -asz Icmp6OutPktTooBigs | awk 'NR > 1 {print $2}'");
    }), "1 vs nstat 1\n");
}
