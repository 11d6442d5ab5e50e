// The Prometheus textfile and --check, with the real program, real namespaces,
// promtool, node_exporter and a Prometheus server.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

#include "core/program_run.hpp"
#include "core/strbuf.hpp"
#include "core/textfile_export.hpp"
#include "support/netns.hpp"

namespace {

const std::string QUIET = " -W /nonexistent -b /nonexistent -B /nonexistent/birdc -D -P ";

std::string label_of(const std::string &in)
{
    StrBuf b;
    sb_init(&b, 64);
    tf_label_value(&b, in.data(), in.size());
    std::string s(b.buf, b.len);
    std::free(b.buf);
    return s;
}

TEST(textfile, label_values)
{
    const std::pair<std::string, std::string> rows[] = {
        {"eth0", "eth0"}, {"a\"b", "a\\\"b"}, {"a\\b", "a\\\\b"}, {"a\nb", "a\\nb"},
        {"a\x1b[2Jb", "a\\\\x1b[2Jb"},                                        // ESC: visible, never raw
        {"\xff\xfe", "\\\\xff\\\\xfe"}, {"caf\xc3\xa9", "caf\xc3\xa9"},       // not UTF-8; UTF-8 stays
        {"\xc2\x9b" "x", "\\\\xc2\\\\x9bx"}, {"\xe2\x82", "\\\\xe2\\\\x82"},  // C1 CSI, UTF-8 encoded; cut short
    };
    for (const auto &[in, out] : rows) EXPECT_EQ(label_of(in), out) << in;
}

TEST(textfile, replaces_whole_or_not_at_all)
{
    TempDir d;
    const std::string f = d.write("m.prom", "old\n");
    ASSERT_EQ(tf_write_file(f.c_str(), "new 1\n", 6), 0);
    EXPECT_EQ(read_whole_file(f), "new 1\n");
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // node_exporter reads it as another user
    EXPECT_EQ(sh_out("ls -A " + d.path), "m.prom\n");
    // A directory in the way, and a directory that is not there: refused, nothing left behind.
    d.mkdir("dir.prom");
    for (const char *bad : {"/dir.prom", "/nodir/m.prom", "/"}) EXPECT_EQ(tf_write_file((d.path + bad).c_str(), "x\n", 2), -1);
    EXPECT_EQ(sh_out("ls -A " + d.path), "dir.prom\nm.prom\n");
    EXPECT_EQ(read_whole_file(f), "new 1\n");
}

// Both sides of a real scrape: node_exporter serves the file, Prometheus scrapes
// it, and its query API answers with the number page 2 printed. The LAN's name has
// a quote, a backslash and ESC, as the kernel allows them; the file stays valid.
TEST(textfile, prometheus_answers_with_the_value_the_page_shows)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    if (sh("command -v prometheus-node-exporter >/dev/null && command -v prometheus >/dev/null && "
           "command -v promtool >/dev/null && command -v curl >/dev/null") != 0)
        GTEST_SKIP() << "prometheus, promtool, prometheus-node-exporter or curl not installed";
    NetnsGuard ns("twprom");
    TempDir d;
    // pfifo with no room drops every packet: a known qdisc drop count (no ARP, no IPv6
    // chatter to add to it). The name goes through printf, so no command line holds its raw bytes.
    d.write("run.sh", "set -e; N=$(printf 'q\"\\\\\\033}x'); ip link add name \"$N\" type veth peer name twp0\n"
                      "ip link add twq0 type veth peer name twq1; for i in twq0 twq1; do sysctl -qw "
                      "net.ipv6.conf.$i.disable_ipv6=1; ip link set $i up; done; ip addr add 10.77.0.1/24 dev twq0\n"
                      "ip neigh add 10.77.0.2 lladdr 02:00:00:00:00:02 dev twq0 nud permanent\n"
                      "tc qdisc replace dev twq0 root pfifo limit 0; for i in 1 2 3; do printf x >/dev/udp/10.77.0.2/9; done\n"
                      "exec " TW_BIN " -1 -M" + QUIET + "-w twq0 -l \"$N\" --textfile " + d.mkdir("textfile") + "/tw.prom\n");
    ProgramRun page = run_program("ip netns exec " + ns.name + " bash " + d.path + "/run.sh");
    ASSERT_EQ(page.status, 0) << page.err;
    const size_t at = page.out.find("qdisc drops: ");
    ASSERT_NE(at, std::string::npos) << page.out;
    const std::string shown = page.out.substr(at + 13, page.out.find_first_not_of("0123456789", at + 13) - at - 13);
    EXPECT_EQ(shown, "3");
    const std::string prom = read_whole_file(d.path + "/textfile/tw.prom");
    EXPECT_NE(prom.find("\ntarnwatch_interface_mtu_bytes{interface=\"q\\\"\\\\\\\\x1b}x\"} 1500\n"), std::string::npos)
        << prom.substr(0, 2000);
    EXPECT_EQ(prom.find('\x1b'), std::string::npos);
    ProgramRun check = run_program("promtool check metrics < " + d.path + "/textfile/tw.prom");
    EXPECT_EQ(check.status, 0) << check.out << check.err;

    const int base = 20000 + static_cast<int>(getpid() % 20000);
    const std::string ne = "127.0.0.1:" + std::to_string(base), pr = "127.0.0.1:" + std::to_string(base + 1);
    d.write("prom.yml", "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tw\n    static_configs:\n"
                        "      - targets: ['" + ne + "']\n");
    const std::string pids = d.path + "/pids";
    ASSERT_EQ(sh("prometheus-node-exporter --web.listen-address=" + ne + " --collector.disable-defaults "
                 "--collector.textfile --collector.textfile.directory=" + d.path + "/textfile >/dev/null 2>&1 & echo $! >" +
                 pids + "; prometheus --config.file=" + d.path + "/prom.yml --storage.tsdb.path=" + d.path +
                 "/tsdb --web.listen-address=" + pr + " >" + d.path + "/prom.log 2>&1 & echo $! >>" + pids), 0);
    std::string served, answer;
    for (int i = 0; i < 150 && answer.find("\"value\"") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (served.empty()) served = run_program("curl -s http://" + ne + "/metrics").out;
        answer = run_program("curl -s 'http://" + pr +
                             "/api/v1/query?query=tarnwatch_interface_qdisc_drops_total%7Binterface%3D%22twq0%22%7D'").out;
    }
    sh("kill $(cat " + pids + ") 2>/dev/null; sleep 0.3");
    EXPECT_NE(served.find("tarnwatch_interface_qdisc_drops_total{interface=\"twq0\",qdisc=\"pfifo\"} 3"), std::string::npos)
        << served.substr(0, 1500);
    EXPECT_NE(answer.find("\"qdisc\":\"pfifo\""), std::string::npos) << answer << read_whole_file(d.path + "/prom.log");
    EXPECT_NE(answer.find(",\"" + shown + "\"]"), std::string::npos) << answer;
}

// --check in a namespace, with and without each source.
TEST(check, one_line_per_source_with_and_without_it)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard ns("twchk");
    ASSERT_EQ(ns.run("sh -c 'ip link add twwan type veth peer name twp0 && ip link add twlan type veth peer name twp1'"), 0);
    const std::string B = TW_SOURCE_DIR "/tests/export/fixtures/bin/", ok = "-B " + B + "birdc-ok",
                      conf = " -b " TW_SOURCE_DIR "/tests/export/fixtures/bird_two_neighbours.conf ", both = "-w twwan -l twlan ";
    const std::string here = " no such interface; here: lo twlan twp0 twp1 twwan; name yours with ";
    // Arguments, what goes before the program, exit status, lines (or their starts) in the report.
    const std::tuple<std::string, std::string, int, std::vector<std::string>> rows[] = {
        {ok + conf + both + "-P", "", 0,
         {"ok   wan twwan ", "ok   lan twlan ", "ok   ethtool twwan            driver veth",
          "ok   birdc                    answers: 1 neighbours, 1 Full, 1 of 2 expected missing",
          "ok   bird config", "ok   tc ", "--   wg ", "ok   kfree_skb trigger", "--   gate pins"}},
        // The newcomer's first run: the default names do not exist here.
        {ok + conf + "-P", "", 1, {"FAIL wan enp16s0f0np0        " + here + "-w IF", "FAIL lan enp16s0f1np1        " + here + "-l IF"}},
        {"-B " + B + "birdc-down" + conf + both + "-P", "", 1,
         {"FAIL birdc                    no neighbour table (is bird running?); it said: Unable to connect"}},
        {"-B /nonexistent/birdc" + conf + both + "-P", "", 1,
         {"FAIL birdc                    /nonexistent/birdc not found, but 2 neighbours are expected"}},
        {"-B /nonexistent/birdc -b /nonexistent " + both + "-P", "", 0, {"--   birdc ", "--   bird config "}},
        {"-B " + B + "birdc-stall" + conf + both + "-P", "", 1, {"FAIL birdc                    "}},
        // No tc, no tcpdump: PATH holds only the stand-ins.
        {ok + conf + both, "env PATH=" + B + " ", 1, {"FAIL tc                       not on PATH", "FAIL tcpdump                  not on PATH"}},
        {ok + conf + both, "unshare -m sh -c 'umount -l /sys/kernel/tracing; exec \"$0\" \"$@\"' ", 1, {"FAIL tracefs"}},
    };
    const std::string traces = "ls /sys/kernel/tracing/instances; cat /sys/kernel/tracing/events/skb/kfree_skb/trigger";
    const std::string traces_before = run_program(traces).out;
    for (const auto &[args, env, status, want] : rows) {
        SCOPED_TRACE(env + args);
        // ip netns exec remounts /sys without tracefs; the monitor's host has it.
        ProgramRun c = run_program("ip netns exec " + ns.name + " sh -c 'mount -t tracefs nodev /sys/kernel/tracing "
                                   "2>/dev/null; exec \"$@\"' sh " + env + TW_BIN " --check " + args);
        EXPECT_EQ(c.status, status) << c.out << c.err;
        EXPECT_LT(c.seconds, 1.0);
        for (const std::string &w : want) EXPECT_NE(c.out.find(w), std::string::npos) << w << "\n" << c.out;
        EXPECT_EQ(c.err, "");
    }
    // Nothing was left: no trace instance, no trigger.
    EXPECT_EQ(run_program(traces).out, traces_before);
}

}  // namespace
