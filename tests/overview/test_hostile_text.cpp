// Outside text with terminal control bytes must reach the screen defused.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/vis_text.hpp"
#include "support/netns.hpp"
#include "support/tmpdir.hpp"

namespace {

// Byte strings, then what the text filter makes of them; interface names keep printable ASCII only.
TEST(hostile_text, filters_keep_valid_utf8_and_replace_controls_and_broken_sequences)
{
    const std::string c1 = "tab\t~ \x1b[2J\x7f\x01 \x9b" "1m\x85 \xc2\x9b" "1m\xc2\x80";
    const std::string utf8 = "caf\xc3\xa9 \xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80";
    const std::pair<std::string, std::string> cases[] = {
        {c1, "tab ~ ?[2J?? ?1m? ??1m??"},  // C0 (a tab as a blank), DEL, C1 raw and UTF-8 encoded
        {utf8, utf8},                        // é, NBSP, €, an emoji
        // Overlong CSI (two ways), a surrogate, past U+10FFFF, never a lead byte; then sequences cut short.
        {"\xc0\x9b\xe0\x82\x9b\xed\xa0\x80\xf4\x90\x80\x80\xf5\xff", std::string(14, '?')},
        {"\xe2\x82x\xf0\x9f\x98 \xc3", "??x??? ?"},
        {[] { std::string all;  // every C1 control, UTF-8 encoded
             for (char c = '\x80'; c != '\xa0'; c++) all += std::string("\xc2") + c;
             return all; }(), std::string(64, '?')},
    };
    for (auto [text, want] : cases) {
        SCOPED_TRACE(text);
        vis_inplace(text.data());
        EXPECT_EQ(text, want);
    }
    for (int c = 1; c < 256; c++)  // interface names: printable ASCII or '?'
        EXPECT_EQ(vis_ifname(std::string(1, char(c)).c_str()).s[0], c >= 0x20 && c <= 0x7e ? char(c) : '?') << c;
    // Cut to 63 bytes first, then filtered.
    EXPECT_EQ(std::string(vis((std::string(62, 'a') + "\xc3\xa9").c_str()).s), std::string(62, 'a') + "?");
}

// The real program in once mode, in a namespace whose interface names, WireGuard
// peers, BIRD labels and client output hold ESC, DEL and CSI raw (9B) and UTF-8 encoded (C2 9B).
// The WireGuard device is a veth with a WireGuard uevent mounted over its own.
TEST(hostile_text, no_c1_control_reaches_standard_output)
{
    if (!netns_available()) GTEST_SKIP() << "needs root and network namespaces";
    NetnsGuard ns("twvis");
    TempDir d;
    const std::string c1 = "\x9b", c1u = "\xc2\x9b", wan = "d" + c1 + "\x1b\x7fx", wg = "wg" + c1;
    ns.run("sh -c \"ip link add '" + wan + "' type veth peer name lan0 && ip link add lan0." + c1u + " type veth peer "
           "name '" + wg + "'\"");
    d.write("wgdir/" + wg + ".conf", "[Peer]\n# bob" + c1 + c1u + "\nPublicKey = KEYBOB\n");
    d.write("bird.conf", "neighbors {\n 10.0.0.2; # core" + c1 + c1u + "\x1b[5m\n}\n");
    d.write("bin/wg", "#!/bin/sh\ncat <<'E'\nPRIV\tPUB\t51820\toff\nKEYBOB\t(none)\t1.2.3.4:5" + c1u +
                          "\t*\t0\t1\t2\toff\nK" + c1 + "\x1bY2\t(none)\t(none)\t*\t0\t1\t2\toff\nE\n");
    d.write("birdc", "#!/bin/sh\ncat <<'E'\nBIRD" + c1 + " ready.\nRouter ID\n10.0.0.1\t1\tInit\x1b]0;owned\x07" + c1u +
                         "\t0\teth0\nE\n");
    d.write("ue", "DEVTYPE=wireguard\n");
    d.write("run", "chmod +x bin/wg birdc && mount --bind ue '/sys/class/net/" + wg + "/uevent' && PATH=bin:$PATH " +
                       TW_BIN + " -1 -w '" + wan + "' -l lan0 -W wgdir -b bird.conf -B ./birdc >out 2>&1 </dev/null\n");
    EXPECT_EQ(sh("cd " + d.path + " && ip netns exec " + ns.name + " sh run"), 0);
    const std::string out = read_whole_file(d.path + "/out");
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](unsigned char c) {
                  return c != '\n' && c != '\t' && (c < 0x20 || c == 0x7f || c == 0x9b);
              }), 0) << out;
    // Each text arrived, defused: names as printable ASCII, the rest as UTF-8 without C1.
    for (const char *want : {"\n  d???x ", "\n  lan0.?? ", "=== WireGuard (wg?) peers ===", "\n  bob???       hs:NEVER",
                             "ep:1.2.3.4:5??", "\n  K??Y2        hs:", "Init?]0;owned???", "OSPF: core????[5m MISSING"})
        EXPECT_NE(out.find(want), std::string::npos) << want;
}

}  // namespace
