// The Prometheus textfile and --check: the export and the check in process against
// model tables and fixture trees, then the real program in a namespace with real
// links, tc, tracefs, promtool, node_exporter and a Prometheus server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

#include "burst/burst_state.hpp"
#include "check/self_check.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/strbuf.hpp"
#include "core/unique_fd.hpp"
#include "export/textfile_export.hpp"
#include "export/tf_notes.hpp"
#include "gate/mw_client.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/birdc_neighbors.hpp"
#include "overview/conntrack.hpp"
#include "support/capture_stdout.hpp"
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
    // Every family written, and every series the shipped rules read, is documented.
    const std::string man = read_whole_file(TW_SOURCE_DIR "/man/tarnwatch.1");
    auto documented = [&](const std::string &name) {
        return man.find(name + "\n") != std::string::npos || man.find(name + " ") != std::string::npos;
    };
    for (size_t at = text.find("# TYPE "); at != std::string::npos; at = text.find("# TYPE ", at + 1))
        EXPECT_TRUE(documented(text.substr(at + 7, text.find(' ', at + 7) - at - 7))) << text.substr(at, 80);
    const std::string rules = read_whole_file(TW_SOURCE_DIR "/packaging/tarnwatch.rules.yml");
    for (size_t at = rules.find("tarnwatch_"); at != std::string::npos; at = rules.find("tarnwatch_", at + 1))
        EXPECT_TRUE(documented(rules.substr(at, rules.find_first_of("[{ )\n", at) - at))) << rules.substr(at, 80);
    const std::string version = run_program(TW_BIN " --version").out.substr(10);
    text.replace(text.find(version.substr(0, version.size() - 1)), version.size() - 1, "VERSION");
    EXPECT_EQ(text, read_whole_file(FIXTURES + "one_sample.prom"));
}

// --check in process against a fixture tree, stand-in tools and a gate of its own.
struct CheckFx {
    TempDir root, bin, conf;
    BpfDir bpf;
    UniqueFd server;
    void tool(const std::string &name, const std::string &script) const
    {
        chmod(bin.write(name, "#!/bin/sh\n" + script + "\n").c_str(), 0755);
    }
    // The gate's maps, pinned by bpftool; the port list with the key size given.
    void pins(int port_key) const
    {
        const std::string c = " && bpftool map create " + bpf.pindir + "/moatwall_";
        sh("mkdir -p " + bpf.pindir + c + "drop4 type lpm_trie key 8 value 1 entries 8 flags 1 name d4" + c +
           "drop6 type lpm_trie key 20 value 1 entries 8 flags 1 name d6" + c + "dports type hash key " +
           std::to_string(port_key) + " value 1 entries 8 name p" + c + "stats type percpu_array key 4 value 8 entries 5 name s");
    }
    void listen_on_sock()
    {
        sockaddr_un sa{AF_UNIX, {}};
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", bpf.sock.c_str());
        server = UniqueFd(socket(AF_UNIX, SOCK_STREAM, 0));
        bind(server.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), listen(server.fd, 4);
    }
};

TEST(check, rows_in_process)
{
    if (geteuid() != 0 || sh("command -v bpftool >/dev/null") != 0) GTEST_SKIP() << "needs root and bpftool";
    // Row, the birdc that runs with a BIRD configuration expecting two neighbours ("": no
    // configuration), how the fixture is set, lines the report holds (the configuration
    // directory shown as DIR).
    const std::tuple<const char *, std::string, std::function<void(CheckFx &)>, std::vector<std::string>> rows[] = {
        {"no_gate_is_a_note", "", [](CheckFx &) {}, {"--   gate pins ", "--   gate daemon socket ", "--   birdc ", "--   bird config "}},
        {"socket_only_gate_fails", "", [](CheckFx &f) { f.listen_on_sock(); }, {"FAIL gate pins ", "ok   gate daemon socket "}},
        {"pins_only_gate_fails", "", [](CheckFx &f) { f.pins(2); }, {"ok   gate pins ", "FAIL gate daemon socket "}},
        {"list_map_of_another_key_size_fails", "", [](CheckFx &f) { f.pins(4); }, {"/moatwall_dports: not the gate's map layout"}},
        {"some_wireguard_configs_missing_is_not_ok", "",
         [](CheckFx &f) {
             for (const char *dev : {"wg0", "wg1"}) f.root.write("sys/class/net/" + std::string(dev) + "/uevent", "DEVTYPE=wireguard\n");
             f.conf.write("wg0.conf", "[Peer]\n# alice\nPublicKey = K1=\n");
             f.tool("wg", "echo line");
         },
         {"ok   wg ", "--   wireguard configs        DIR holds 1 of 2 device configs",
          "FAIL wan enp16s0f0np0         no such interface; here: wg0 wg1; name yours with -w IF", "FAIL tracefs "}},
        {"a_probed_tool_leaves_nothing_running", "",
         [](CheckFx &f) { f.tool("tcpdump", "sleep 60 >/dev/null 2>&1 & echo $! >" + f.bin.path + "/pid"); }, {"ok   tcpdump "}},
        {"no_tc_no_tcpdump", "", [](CheckFx &f) { setenv("PATH", f.bin.path.c_str(), 1); },
         {"FAIL tc                       not on PATH", "FAIL tcpdump                  not on PATH"}},
        {"bird_answers", FIXTURES + "bin/birdc-ok", [](CheckFx &) {},
         {"ok   bird config", "ok   birdc                    answers: 1 neighbours, 1 Full, 1 of 2 expected missing"}},
        {"bird_down", FIXTURES + "bin/birdc-down", [](CheckFx &) {},
         {"FAIL birdc                    no neighbour table (is bird running?); it said: Unable to connect"}},
        {"bird_missing", "/nonexistent/birdc", [](CheckFx &) {},
         {"FAIL birdc                    /nonexistent/birdc not found, but 2 neighbours are expected"}},
        {"bird_stalls", FIXTURES + "bin/birdc-stall", [](CheckFx &) {},
         {"FAIL birdc                    " + FIXTURES + "bin/birdc-stall gave no answer"}},
    };
    const std::string sock_was = mw_sock_path(), pins_was = mw_pin_dir(), path = getenv("PATH");
    for (const auto &[name, birdc, set, want] : rows) {
        SCOPED_TRACE(name);
        CheckFx f;
        settings_defaults();
        fsroot_set(f.root.path.c_str());
        mw_paths_set(f.bpf.sock.c_str(), f.bpf.pindir.c_str());
        g_wgdir = f.conf.path.c_str();
        g_birdc = birdc.empty() ? "/nonexistent/birdc" : birdc.c_str();
        g_birdconf = birdc.empty() ? "/nonexistent" : TW_SOURCE_DIR "/tests/export/fixtures/bird_two_neighbours.conf";
        setenv("PATH", (f.bin.path + ":" + path).c_str(), 1);
        set(f);
        const auto t0 = std::chrono::steady_clock::now();
        std::string report = capture_stdout([] { self_check(stdout); });
        if (size_t at = report.find(f.conf.path); at != std::string::npos) report.replace(at, f.conf.path.size(), "DIR");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
        for (const std::string &w : want) EXPECT_NE(report.find(w), std::string::npos) << w << "\n" << report;
        if (const std::string pid = read_whole_file(f.bin.path + "/pid"); !pid.empty()) {
            EXPECT_TRUE(process_gone(pid.substr(0, pid.size() - 1)));
        }
        setenv("PATH", path.c_str(), 1);  // the fixture's clean-up runs shell tools
    }
    fsroot_set("");
    mw_paths_set(sock_was.c_str(), pins_was.c_str());
}

// The real program in one namespace whose interface names, WireGuard peers, BIRD
// labels and client output hold a quote, a backslash, ESC, DEL and CSI raw (9B) and
// UTF-8 encoded (C2 9B); the WireGuard device is a veth with a WireGuard uevent
// mounted over its own. twq0's pfifo has no room, so it drops every datagram: a known
// qdisc drop count, with no ARP or IPv6 chatter to add to it.
const char *const HOSTILE_RIG = R"(set -e; W=$(printf 'd"\\\233\033\177x'); C=$(printf '\233'); U=$(printf '\302\233')
ip link add "$W" type veth peer name lan0; ip link add "$W.$U" type veth peer name "wg$C"
ip link add twq0 type veth peer name twq1; for i in twq0 twq1; do sysctl -qw net.ipv6.conf.$i.disable_ipv6=1; done
ip link set twq0 up; ip link set twq1 up; ip addr add 10.77.0.1/24 dev twq0
ip neigh add 10.77.0.2 lladdr 02:00:00:00:00:02 dev twq0 nud permanent
tc qdisc replace dev twq0 root pfifo limit 0; for i in 1 2 3; do printf x >/dev/udp/10.77.0.2/9; done
chmod +x bin/wg birdc; mkdir textfile; echo DEVTYPE=wireguard >ue; mount --bind ue "/sys/class/net/wg$C/uevent"
PATH=bin:$PATH exec "$1" -1 -D -P -w twq0 -l "$W" -W wgdir -b bird.conf -B ./birdc --textfile textfile/tw.prom
)";

// What the page printed reaches the terminal defused, the file stays valid, and
// Prometheus, scraping node_exporter, answers with the figure the page showed.
// Then --check in the same namespace: real veths, ethtool, tc and tracefs, within a
// second, and nothing left behind (no trace instance, no trigger).
TEST(real_program, page_textfile_and_check_in_a_namespace)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    if (sh("command -v prometheus-node-exporter >/dev/null && command -v prometheus >/dev/null && "
           "command -v promtool >/dev/null && command -v curl >/dev/null") != 0)
        GTEST_SKIP() << "prometheus, promtool, prometheus-node-exporter or curl not installed";
    NetnsGuard ns("twreal");
    TempDir d;
    const std::string c1 = "\x9b", c1u = "\xc2\x9b", in_ns = "ip netns exec " + ns.name + " ";
    d.write("wgdir/wg" + c1 + ".conf", "[Peer]\n# bob" + c1 + c1u + "\nPublicKey = KEYBOB\n");
    d.write("bird.conf", "neighbors {\n 10.0.0.2; # core" + c1 + c1u + "\x1b[5m\n}\n");
    d.write("bin/wg", "#!/bin/sh\ncat <<'E'\nPRIV\tPUB\t51820\toff\nKEYBOB\t(none)\t1.2.3.4:5" + c1u +
                          "\t*\t0\t1\t2\toff\nK" + c1 + "\x1bY2\t(none)\t(none)\t*\t0\t1\t2\toff\nE\n");
    d.write("birdc", "#!/bin/sh\ncat <<'E'\nBIRD" + c1 + " ready.\nRouter ID\n10.0.0.1\t1\tInit\x1b]0;owned\x07" + c1u +
                         "\t0\teth0\nE\n");
    d.write("rig", HOSTILE_RIG);
    const ProgramRun page = run_program("cd " + d.path + " && " + in_ns + "bash rig " TW_BIN);
    ASSERT_EQ(page.status, 0) << page.err;
    const std::string out = page.out + page.err;
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](unsigned char c) {
                  return c != '\n' && c != '\t' && (c < 0x20 || c == 0x7f || c == 0x9b);
              }), 0) << out;
    // Each text arrived, defused: names as printable ASCII, the rest as UTF-8 without C1.
    for (const char *want : {"\n  d\"\\???x ", "\n  d\"\\???x.?? ", "=== WireGuard (wg?) peers ===", "\n  bob???       hs:NEVER",
                             "ep:1.2.3.4:5??", "\n  K??Y2        hs:", "Init?]0;owned???", "OSPF: core????[5m MISSING"})
        EXPECT_NE(out.find(want), std::string::npos) << want;
    const size_t at = out.find("qdisc drops: ");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string shown = out.substr(at + 13, out.find_first_not_of("0123456789", at + 13) - at - 13);
    EXPECT_EQ(shown, "3");
    const std::string prom = read_whole_file(d.path + "/textfile/tw.prom");
    EXPECT_NE(prom.find("\ntarnwatch_interface_mtu_bytes{device=\"d\\\"\\\\\\\\x9b\\\\x1b\\\\x7fx\"} 1500\n"), std::string::npos)
        << prom.substr(0, 2000);
    EXPECT_EQ(prom.find_first_of("\x1b\x7f\x9b"), std::string::npos);
    ProgramRun promtool = run_program("promtool check metrics < " + d.path + "/textfile/tw.prom");
    EXPECT_EQ(promtool.status, 0) << promtool.out << promtool.err;

    // Both servers run in the namespace, so node_exporter's own interface series describe
    // the same links as the file, and the query joins the two on device. node_exporter
    // itself fails on names that are not UTF-8, so it reads only the tw links.
    const std::string ne = "127.0.0.1:9100", pr = "127.0.0.1:9090", pids = d.path + "/pids";
    d.write("prom.yml", "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tw\n    static_configs:\n"
                        "      - targets: ['" + ne + "']\n");
    ASSERT_EQ(sh(in_ns + "sh -c 'ip link set lo up; prometheus-node-exporter --web.listen-address=" + ne +
                 " --collector.disable-defaults --collector.netclass --collector.netclass.ignored-devices=^[^t] "
                 "--collector.textfile --collector.textfile.directory=" + d.path + "/textfile >/dev/null 2>&1 & echo $! >" +
                 pids + "; prometheus --config.file=" + d.path + "/prom.yml --storage.tsdb.path=" + d.path +
                 "/tsdb --web.listen-address=" + pr + " >" + d.path + "/prom.log 2>&1 & echo $! >>" + pids + "'"), 0);
    std::string served, answer;
    for (int i = 0; i < 150 && answer.find("\"value\"") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (served.empty()) served = run_program(in_ns + "curl -s http://" + ne + "/metrics").out;
        answer = run_program(in_ns + "curl -s http://" + pr + "/api/v1/query --data-urlencode 'query="
                             "tarnwatch_interface_qdisc_drops_total{device=\"twq0\"} * on(device) group_left(operstate) "
                             "node_network_info'").out;
    }
    sh("kill $(cat " + pids + ") 2>/dev/null; sleep 0.3");
    EXPECT_NE(served.find("tarnwatch_interface_qdisc_drops_total{device=\"twq0\"} 3"), std::string::npos)
        << served.substr(0, 1500);
    EXPECT_NE(served.find("tarnwatch_interface_qdisc_info{device=\"twq0\",qdisc=\"pfifo\"} 1"), std::string::npos);
    EXPECT_NE(answer.find("\"operstate\":\"up\""), std::string::npos) << answer << read_whole_file(d.path + "/prom.log");
    EXPECT_NE(answer.find(",\"" + shown + "\"]"), std::string::npos) << answer;

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
