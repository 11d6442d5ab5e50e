// The Prometheus textfile and --check: the export and the check in process against
// model tables and fixture trees, then the real program in a namespace with real
// links, tc, tracefs, promtool, node_exporter and a Prometheus server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

#include "burst/burst_state.hpp"
#include "check/self_check.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/unique_fd.hpp"
#include "export/textfile_export.hpp"
#include "export/tf_notes.hpp"
#include "gate/mw_client.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/birdc_neighbors.hpp"
#include "overview/conntrack.hpp"
#include "support/capture_stdout.hpp"
#include "support/fixture_rows.hpp"
#include "support/gate_rig.hpp"
#include "support/launch.hpp"
#include "support/netns.hpp"
#include "topology/ifaces.hpp"
#include "topology/ospf_expected.hpp"

namespace {

const std::string FIXTURES = TW_SOURCE_DIR "/tests/export/fixtures/";

TEST(textfile, replaces_whole_or_not_at_all)
{
    TempDir d;
    const std::string f = d.write("m.prom", "old\n");
    ASSERT_EQ(tf_write_file(f.c_str(), "new 1\n", 6), 0);
    EXPECT_EQ(sh_out("stat -c %a " + f), "644\n");  // node_exporter reads it as another user
    // A directory in the way, and a directory that is not there: refused, nothing left behind.
    d.mkdir("dir.prom");
    for (const char *bad : {"/dir.prom", "/nodir/m.prom", "/"}) EXPECT_EQ(tf_write_file((d.path + bad).c_str(), "x\n", 2), -1);
    EXPECT_EQ(sh_out("ls -A " + d.path), "dir.prom\nm.prom\n");
    EXPECT_EQ(read_whole_file(f), "new 1\n");
}

// One sample's whole file: the names and labels dashboards and the shipped rules rely
// on. The model also holds what must reach the file once and defused: an interface
// listed twice, a peer and a neighbour noted twice, peer keys cut inside UTF-8 or
// holding ESC, a link of unknown speed; conntrack is the sample's read (no files here).
TEST(textfile, exact_file_of_one_sample)
{
    TempDir root;
    fsroot_set(root.path.c_str());
    const std::string tracedir = g_tracedir, file = root.path + "/tw.prom";
    g_tracedir[0] = '\0';
    g_textfile = file.c_str();
    g_last_ts = 1700000100;
    g_n_ifaces = 3;
    for (int i = 0; i < 3; i++) std::strcpy(g_ifaces[i], i == 1 ? "eth1" : "eth0");
    g_ifaces_left_out = 3;
    g_conntrack = {7, 100, 7};
    IfSnap &e = g_snap[0];
    e.rx_bytes = 9000, e.tx_bytes = 8000, e.rx_packets = 90, e.tx_packets = 80, e.rx_dropped = 7, e.tx_dropped = 4;
    e.rx_missed_errors = 3, e.carrier_changes = 2, e.qdisc_drops = 5, e.flags = 0x1003, e.speed = 1000, e.mtu = 1500;
    std::strcpy(e.operstate, "up");
    std::strcpy(e.qdisc, "htb/fq_codel");
    g_snap[1].speed = -1;
    g_snap[2].mtu = 9000;
    for (int i = 0; i < 2; i++) {
        tf_note_wg_peer("wg0", "AAAAAAAAAAA\xc3\xa9=", 1700000000, 10, 20);
        tf_note_ospf_neighbor("10.0.0.9 1 Full/PtP 00:35 eth0 10.1.0.9", true);
    }
    tf_note_wg_peer("wg0", "B\x1b[2JCDEFGHIJ=", 0, 0, 0);
    g_n_ospf_exp = 1;
    g_ospf_exp[0] = {"10.0.0.2", "core-b"};
    BirdcScan scan;
    birdc_scan_init(&scan);
    tf_note_ospf_table(true, &scan);
    int err = -1;
    const int written = tf_after_sample(nullptr, 0, &err);
    std::strcpy(g_tracedir, tracedir.c_str());
    ASSERT_EQ(written, 0) << err;
    std::string text = read_whole_file(file);
    // Every series written, and every one the shipped rules read, is documented.
    const std::string man = read_whole_file(TW_SOURCE_DIR "/man/tarnwatch.1");
    const std::string named = text + read_whole_file(TW_SOURCE_DIR "/packaging/tarnwatch.rules.yml");
    for (size_t at = named.find("tarnwatch_"), end; at != std::string::npos; at = named.find("tarnwatch_", end)) {
        end = named.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_", at);
        const std::string name = named.substr(at, end - at);
        EXPECT_TRUE(man.find(name + "\n") != std::string::npos || man.find(name + " ") != std::string::npos) << name;
    }
    const std::string version = run_program(TW_BIN " --version").out.substr(10);
    text.replace(text.find(version.substr(0, version.size() - 1)), version.size() - 1, "VERSION");
    EXPECT_EQ(text, read_whole_file(FIXTURES + "one_sample.prom"));
}

// A socket accepting connections at path, as the gate's daemon's does.
UniqueFd listening_at(const std::string &path)
{
    sockaddr_un sa{AF_UNIX, {}};
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    UniqueFd server(socket(AF_UNIX, SOCK_STREAM, 0));
    bind(server.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), listen(server.fd, 4);
    return server;
}

// The table's header tells how a row's directory and gate are set.
TEST(check, rows_in_process)
{
    if (geteuid() != 0 || sh("command -v bpftool >/dev/null") != 0) GTEST_SKIP() << "needs root and bpftool";
    const std::string sock_was = mw_sock_path(), pins_was = mw_pin_dir(), path = getenv("PATH");
    auto fix = [](const std::string &p) { return p[0] == '/' ? p : FIXTURES + p; };
    for (const FixtureRow &row : fixture_rows("export/fixtures/check_rows.tsv", 6)) {
        SCOPED_TRACE(row[0]);
        TempDir t;
        BpfDir bpf;
        UniqueFd server;
        const std::string bin = t.mkdir("bin"), conf = t.mkdir("conf"), birdc = fix(row[1]), birdconf = fix(row[2]);
        settings_defaults();
        fsroot_set(t.mkdir("root").c_str());
        mw_paths_set(bpf.sock.c_str(), bpf.pindir.c_str());
        g_wgdir = conf.c_str();
        g_birdc = birdc.c_str();
        g_birdconf = birdconf.c_str();
        if (row[4] == "listen")
            server = listening_at(bpf.sock);
        else
            ASSERT_EQ(sh("export FIX=" + FIXTURES + " PINS=" + bpf.pindir + "; cd " + t.path + " && " + row[4]), 0);
        setenv("PATH", (row[3] == "own" ? bin : bin + ":" + path).c_str(), 1);
        const auto t0 = std::chrono::steady_clock::now();
        std::string report = capture_stdout([] { self_check(stdout); });
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
        for (const auto &[from, to] : {std::pair{conf, "DIR"}, {FIXTURES, "FIX/"}})
            for (size_t at; (at = report.find(from)) != std::string::npos;) report.replace(at, from.size(), to);
        std::istringstream wants(row[5]);
        for (std::string want; std::getline(wants, want);)
            EXPECT_NE(report.find(want), std::string::npos) << want << "\n" << report;
        if (const std::string pid = read_whole_file(bin + "/pid"); !pid.empty()) {
            EXPECT_TRUE(process_gone(pid.substr(0, pid.size() - 1)));
        }
        setenv("PATH", path.c_str(), 1);  // the gate directory's clean-up runs shell tools
    }
    fsroot_set("");
    mw_paths_set(sock_was.c_str(), pins_was.c_str());
}

// The real program in one namespace of hostile names and texts (see the rig): what the
// page printed reaches the terminal defused, the file stays valid, and Prometheus, scraping
// node_exporter, answers with the figure the page showed. Then --check in the same
// namespace: real veths, ethtool, tc and tracefs, within a second, and nothing left behind
// (no trace instance, no trigger).
TEST(real_program, page_textfile_and_check_in_a_namespace)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    if (sh("command -v prometheus-node-exporter >/dev/null && command -v prometheus >/dev/null && "
           "command -v promtool >/dev/null && command -v curl >/dev/null") != 0)
        GTEST_SKIP() << "prometheus, promtool, prometheus-node-exporter or curl not installed";
    NetnsGuard ns("twreal");
    TempDir d;
    const std::string in_ns = "ip netns exec " + ns.name + " ", here = "cd " + d.path + " && " + in_ns;
    const ProgramRun page = run_program("cp -r " + FIXTURES + "hostile/. " + d.path + " && " + here + "./rig " TW_BIN);
    ASSERT_EQ(page.status, 0) << page.err;
    const std::string out = page.out + page.err;
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](unsigned char c) {
                  return c != '\n' && c != '\t' && (c < 0x20 || c == 0x7f || c == 0x9b);
              }), 0) << out;
    // Each text arrived, defused: names as printable ASCII, the rest as UTF-8 without C1.
    for (const char *want : {"\n  d\"\\???x ", "\n  d\"\\???x.?? ", "=== WireGuard (wg?) peers ===", "\n  bob???       hs:NEVER",
                             "ep:1.2.3.4:5??", "\n  K??Y2        hs:", "Init?]0;owned???", "OSPF: core????[5m MISSING"})
        EXPECT_NE(out.find(want), std::string::npos) << want;
    EXPECT_NE(out.find("\n  qdisc drops: 3\n"), std::string::npos) << out;
    const std::string prom = read_whole_file(d.path + "/textfile/tw.prom");
    EXPECT_NE(prom.find("\ntarnwatch_interface_mtu_bytes{device=\"d\\\"\\\\\\\\x9b\\\\x1b\\\\x7fx\"} 1500\n"), std::string::npos)
        << prom.substr(0, 2000);
    EXPECT_EQ(prom.find_first_of("\x1b\x7f\x9b"), std::string::npos);
    ProgramRun promtool = run_program("promtool check metrics < " + d.path + "/textfile/tw.prom");
    EXPECT_EQ(promtool.status, 0) << promtool.out << promtool.err;

    // Both servers run in the namespace, so node_exporter's own interface series describe
    // the same links as the file, and the query joins the two on device.
    const std::string ne = "127.0.0.1:9100", pr = "127.0.0.1:9090";
    ASSERT_EQ(sh(here + "./serve " + ne + " " + pr), 0);
    std::string served, answer;
    for (int i = 0; i < 150 && answer.find("\"value\"") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (served.empty()) served = run_program(in_ns + "curl -s http://" + ne + "/metrics").out;
        answer = run_program(in_ns + "curl -s http://" + pr + "/api/v1/query --data-urlencode 'query="
                             "tarnwatch_interface_qdisc_drops_total{device=\"twq0\"} * on(device) group_left(operstate) "
                             "node_network_info'").out;
    }
    sh("kill $(cat " + d.path + "/pids) 2>/dev/null; sleep 0.3");
    EXPECT_NE(served.find("tarnwatch_interface_qdisc_drops_total{device=\"twq0\"} 3"), std::string::npos)
        << served.substr(0, 1500);
    EXPECT_NE(served.find("tarnwatch_interface_qdisc_info{device=\"twq0\",qdisc=\"pfifo\"} 1"), std::string::npos);
    EXPECT_NE(answer.find("\"operstate\":\"up\""), std::string::npos) << answer << read_whole_file(d.path + "/prom.log");
    EXPECT_NE(answer.find(",\"3\"]"), std::string::npos) << answer;

    const std::string traces = "ls /sys/kernel/tracing/instances; cat /sys/kernel/tracing/events/skb/kfree_skb/trigger";
    const std::string traces_before = run_program(traces).out;
    // ip netns exec remounts /sys without tracefs; the monitor's host has it.
    ProgramRun c = run_program(in_ns + "sh -c 'mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null; exec \"$@\"' sh "
                               TW_BIN " --check -w twq0 -l lan0 -P -B " + FIXTURES + "bin/birdc-ok -b " + FIXTURES +
                               "bird_two_neighbours.conf");
    EXPECT_EQ(c.status, 0) << c.out << c.err;
    EXPECT_LT(c.seconds, 1.0);
    for (const char *w : {"ok   wan twq0 ", "ok   lan lan0 ", "ok   ethtool twq0             driver veth", "ok   birdc ",
                          "ok   tc ", "--   wg ", "ok   kfree_skb trigger", "--   gate pins"})
        EXPECT_NE(c.out.find(w), std::string::npos) << w << "\n" << c.out;
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(run_program(traces).out, traces_before);
}

}  // namespace
