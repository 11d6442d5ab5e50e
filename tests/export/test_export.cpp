// The Prometheus textfile and --check, with the real program, real namespaces,
// promtool, node_exporter and a Prometheus server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/strbuf.hpp"
#include "core/textfile_export.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"

namespace {

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
    const struct {
        std::string in, out;
    } rows[] = {
        {"eth0", "eth0"},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"a\nb", "a\\nb"},
        {"a\x1b[2Jb", "a\\\\x1b[2Jb"},       // ESC: visible, never raw
        {"\xff\xfe", "\\\\xff\\\\xfe"},        // not UTF-8
        {"caf\xc3\xa9", "caf\xc3\xa9"},        // UTF-8 stays
        {"\xc2\x9b" "x", "\\\\xc2\\\\x9bx"},   // C1 CSI, UTF-8 encoded
        {"\xe2\x82", "\\\\xe2\\\\x82"},        // a sequence cut short
    };
    for (const auto &r : rows) EXPECT_EQ(label_of(r.in), r.out) << r.in;
}

std::vector<std::string> dir_names(const std::string &dir)
{
    std::vector<std::string> v;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.' || (e->d_name[1] && e->d_name[1] != '.')) v.push_back(e->d_name);
        closedir(d);
    }
    return v;
}

TEST(textfile, replaces_whole_or_not_at_all)
{
    TempDir d;
    std::string f = d.write("m.prom", "old\n");
    ASSERT_EQ(tf_write_file(f.c_str(), "new 1\n", 6), 0);
    EXPECT_EQ(read_whole_file(f), "new 1\n");
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // node_exporter reads it as another user
    EXPECT_EQ(dir_names(d.path), std::vector<std::string>{"m.prom"});

    // A directory in the way, and a directory that is not there: refused, nothing left behind.
    d.mkdir("dir.prom");
    EXPECT_EQ(tf_write_file((d.path + "/dir.prom").c_str(), "x\n", 2), -1);
    EXPECT_EQ(tf_write_file((d.path + "/nodir/m.prom").c_str(), "x\n", 2), -1);
    EXPECT_EQ(tf_write_file((d.path + "/").c_str(), "x\n", 2), -1);
    EXPECT_EQ(dir_names(d.path).size(), 2u);
    EXPECT_EQ(read_whole_file(f), "new 1\n");
}

struct Cmd {
    int status;
    std::string out, err;
    double seconds;
};

Cmd run(const std::string &cmd)
{
    TempDir d;
    auto t0 = std::chrono::steady_clock::now();
    int st = std::system((cmd + " >" + d.path + "/o 2>" + d.path + "/e </dev/null").c_str());
    Cmd r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, read_whole_file(d.path + "/o"), read_whole_file(d.path + "/e"),
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count()};
    return r;
}

const std::string QUIET = " -W /nonexistent -b /nonexistent -B /nonexistent/birdc -D -P ";

// One line of the exposition for a metric and a label text, or "".
std::string sample_line(const std::string &text, const std::string &prefix)
{
    size_t p = text.find("\n" + prefix);
    if (p == std::string::npos) return "";
    return text.substr(p + 1, text.find('\n', p + 1) - p - 1);
}

// A name with a quote, a backslash and ESC, as the kernel allows them.
TEST(textfile, hostile_interface_name_keeps_the_file_valid)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    if (std::system("command -v promtool >/dev/null") != 0) GTEST_SKIP() << "promtool (prometheus) not installed";
    NetnsGuard ns("twexp");
    TempDir d;
    // The name goes through printf, so the shell never sees the raw bytes in a command line.
    const std::string N = "N=$(printf 'q\"\\\\\\033}x')\n";
    d.write("mk.sh", N + "ip link add name \"$N\" type veth peer name twp0 && ip link add twlan type veth peer name twp1\n");
    d.write("run.sh", N + "exec " TW_BIN " -1 -M" + QUIET + "-l twlan -w \"$N\" --textfile " + d.path + "/tw.prom\n");
    ASSERT_EQ(ns.run("sh " + d.path + "/mk.sh"), 0);
    Cmd r = run("ip netns exec " + ns.name + " sh " + d.path + "/run.sh");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string prom = read_whole_file(d.path + "/tw.prom");
    EXPECT_EQ(sample_line(prom, "tarnwatch_interface_mtu_bytes{interface=\"q\\\"\\\\\\\\x1b}x\"}"),
              "tarnwatch_interface_mtu_bytes{interface=\"q\\\"\\\\\\\\x1b}x\"} 1500")
        << prom.substr(0, 2000);
    EXPECT_EQ(prom.find('\x1b'), std::string::npos);
    Cmd check = run("promtool check metrics < " + d.path + "/tw.prom");
    EXPECT_EQ(check.status, 0) << check.out << check.err;
}

// Both sides of a real scrape: node_exporter serves the file, Prometheus scrapes
// it, and its query API answers with the number page 2 printed.
TEST(textfile, prometheus_answers_with_the_value_the_page_shows)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    if (std::system("command -v prometheus-node-exporter >/dev/null && command -v prometheus >/dev/null && "
                    "command -v curl >/dev/null") != 0)
        GTEST_SKIP() << "prometheus, prometheus-node-exporter or curl not installed";
    NetnsGuard ns("twprom");
    // pfifo with no room drops every packet: a known qdisc drop count (no ARP,
    // no IPv6 chatter to add to it).
    ASSERT_EQ(ns.run("sh -c 'ip link add twq0 type veth peer name twq1 && sysctl -qw net.ipv6.conf.twq0.disable_ipv6=1 && "
                     "sysctl -qw net.ipv6.conf.twq1.disable_ipv6=1 && ip addr add 10.77.0.1/24 dev twq0 && "
                     "ip link set twq1 up && ip link set twq0 up && "
                     "ip neigh add 10.77.0.2 lladdr 02:00:00:00:00:02 dev twq0 nud permanent && "
                     "tc qdisc replace dev twq0 root pfifo limit 0'"),
              0);
    std::string sent = in_netns(ns.name, [] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        inet_pton(AF_INET, "10.77.0.2", &to.sin_addr);
        for (int i = 0; i < 3; i++) sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        close(fd);
        return std::string("sent");
    });
    ASSERT_EQ(sent, "sent");
    TempDir d;
    d.mkdir("textfile");
    Cmd page = run("ip netns exec " + ns.name + " " TW_BIN " -1 -M" + QUIET + "-w twq0 -l tw-none --textfile " +
                   d.path + "/textfile/tw.prom");
    ASSERT_EQ(page.status, 0) << page.err;
    size_t at = page.out.find("qdisc drops: ");
    ASSERT_NE(at, std::string::npos) << page.out;
    std::string shown = page.out.substr(at + 13, page.out.find_first_not_of("0123456789", at + 13) - at - 13);
    EXPECT_EQ(shown, "3");

    const int base = 20000 + static_cast<int>(getpid() % 20000);
    const std::string ne = "127.0.0.1:" + std::to_string(base), pr = "127.0.0.1:" + std::to_string(base + 1);
    d.write("prom.yml", "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tw\n    static_configs:\n"
                        "      - targets: ['" + ne + "']\n");
    std::string pids = d.path + "/pids";
    ASSERT_EQ(std::system(("prometheus-node-exporter --web.listen-address=" + ne +
                           " --collector.disable-defaults --collector.textfile --collector.textfile.directory=" +
                           d.path + "/textfile >/dev/null 2>&1 & echo $! >" + pids + "; prometheus --config.file=" +
                           d.path + "/prom.yml --storage.tsdb.path=" + d.path + "/tsdb --web.listen-address=" + pr +
                           " >" + d.path + "/prom.log 2>&1 & echo $! >>" + pids)
                              .c_str()),
              0);
    std::string served, answer;
    for (int i = 0; i < 150 && answer.find("\"value\"") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (served.empty()) served = run("curl -s http://" + ne + "/metrics").out;
        answer = run("curl -s 'http://" + pr +
                     "/api/v1/query?query=tarnwatch_interface_qdisc_drops_total%7Binterface%3D%22twq0%22%7D'")
                     .out;
    }
    std::system(("kill $(cat " + pids + ") 2>/dev/null; sleep 0.3").c_str());
    EXPECT_NE(served.find("tarnwatch_interface_qdisc_drops_total{interface=\"twq0\",qdisc=\"pfifo\"} 3"),
              std::string::npos)
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
    TempDir d;
    d.write("bird.conf", "protocol ospf v2 {\n area 0 {\n  interface \"twlan\" {\n   neighbors {\n"
                         "    10.0.0.2; # core1\n    10.0.0.3; # core2\n   };\n  };\n };\n}\n");
    d.write("bin/birdc-ok", "#!/bin/sh\necho 'BIRD 2.0 ready.'\necho 'Router ID     Pri          State     DTime   "
                            "Interface  Router IP'\necho '10.0.0.2  1 Full/PtP 00:33 twlan 10.0.0.2'\n");
    d.write("bin/birdc-down", "#!/bin/sh\necho 'Unable to connect to server control socket (/run/bird/bird.ctl)'\n");
    d.write("bin/birdc-stall", "#!/bin/sh\nsleep 20\n");
    chmod((d.path + "/bin/birdc-ok").c_str(), 0755);
    chmod((d.path + "/bin/birdc-down").c_str(), 0755);
    chmod((d.path + "/bin/birdc-stall").c_str(), 0755);
    const std::string B = d.path + "/bin/", conf = " -b " + d.path + "/bird.conf ";
    struct Row {
        std::string args, env;
        int status;
        std::vector<std::string> want;
    } rows[] = {
        {"-B " + B + "birdc-ok" + conf + "-w twwan -l twlan -P", "", 0,
         {"ok   wan twwan ", "ok   lan twlan ", "ok   ethtool twwan            driver veth",
          "ok   birdc                    answers: 1 neighbours, 1 Full, 1 of 2 expected missing",
          "ok   bird config", "ok   tc ", "--   wg ", "ok   kfree_skb trigger", "--   gate pins"}},
        // The newcomer's first run: the default names do not exist here.
        {"-B " + B + "birdc-ok" + conf + "-P", "", 1,
         {"FAIL wan enp16s0f0np0         no such interface; here: lo twlan twp0 twp1 twwan; name yours with -w IF",
          "FAIL lan enp16s0f1np1         no such interface; here: lo twlan twp0 twp1 twwan; name yours with -l IF"}},
        {"-B " + B + "birdc-down" + conf + "-w twwan -l twlan -P", "", 1,
         {"FAIL birdc                    no neighbour table (is bird running?); it said: Unable to connect"}},
        {"-B /nonexistent/birdc" + conf + "-w twwan -l twlan -P", "", 1,
         {"FAIL birdc                    /nonexistent/birdc not found, but 2 neighbours are expected"}},
        {"-B /nonexistent/birdc -b /nonexistent -w twwan -l twlan -P", "", 0,
         {"--   birdc ", "--   bird config "}},
        {"-B " + B + "birdc-stall" + conf + "-w twwan -l twlan -P", "", 1, {"FAIL birdc                    "}},
        // No tc, no tcpdump: PATH holds only the stand-ins.
        {"-B " + B + "birdc-ok" + conf + "-w twwan -l twlan", "env PATH=" + B + " ", 1,
         {"FAIL tc                       not on PATH", "FAIL tcpdump                  not on PATH"}},
        {"-B " + B + "birdc-ok" + conf + "-w twwan -l twlan", "unshare -m sh -c 'umount -l /sys/kernel/tracing; exec \"$0\" \"$@\"' ",
         1, {"FAIL tracefs"}},
    };
    std::string inst_before = run("ls /sys/kernel/tracing/instances; cat /sys/kernel/tracing/events/skb/kfree_skb/trigger").out;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.env + r.args);
        // ip netns exec remounts /sys without tracefs; the monitor's host has it.
        Cmd c = run("ip netns exec " + ns.name + " sh -c 'mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null; exec " +
                    "\"$@\"' sh " + r.env + TW_BIN " --check " + r.args);
        EXPECT_EQ(c.status, r.status) << c.out << c.err;
        EXPECT_LT(c.seconds, 1.0);
        for (const std::string &w : r.want) EXPECT_NE(c.out.find(w), std::string::npos) << w << "\n" << c.out;
        EXPECT_EQ(c.err, "");
    }
    // Nothing was left: no trace instance, no trigger.
    EXPECT_EQ(run("ls /sys/kernel/tracing/instances; cat /sys/kernel/tracing/events/skb/kfree_skb/trigger").out,
              inst_before);
}

}  // namespace
