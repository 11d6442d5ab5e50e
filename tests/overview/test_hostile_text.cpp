// Outside text with terminal control bytes must reach the screen defused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>

#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/page_overview.hpp"
#include "support/tmpdir.hpp"
#include "topology/ifaces.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

namespace {

bool has_control_bytes(const char *s)
{
    for (; *s; s++)
        if ((static_cast<unsigned char>(*s) < 0x20 && *s != '\n' && *s != '\t') || *s == 0x7f) return true;
    return false;
}

TEST(hostile_text, names_tool_output_and_labels_lose_their_control_bytes)
{
    TempDir d;
    fsroot_set(d.path.c_str());  // empty tree: every kernel counter reads 0
    std::string birdc = d.write("birdc", "#!/bin/sh\nprintf 'BIRD\\033[2J ready.\\nRouter ID\\n"
                                         "1.1.1.1\\t1\\tInit\\033]0;owned\\007\\t0\\teth0\\t10.0.0.9\\n'\n");
    chmod(birdc.c_str(), 0755);
    std::string conf = d.write("bird.conf", "neighbors {\n 10.0.0.2; # core\x1b[5m-b\n}\n");
    settings_defaults();
    g_birdc = birdc.c_str();
    load_ospf_expected(conf.c_str());
    buffers_setup();
    sb_clear(&PAGES[0]);
    alerts_clear();
    colors_set(false);
    g_n_wgdevs = 0;
    g_n_ifaces = 1;
    std::strcpy(g_ifaces[0], "ev\x1b[2Jil");
    g_snap[0] = IfSnap{};
    std::strcpy(g_snap[0].operstate, "up");

    render_overview();

    EXPECT_FALSE(has_control_bytes(PAGES[0].buf)) << PAGES[0].buf;
    EXPECT_FALSE(has_control_bytes(ALERTS.buf)) << ALERTS.buf;
    EXPECT_NE(std::strstr(PAGES[0].buf, "  ev?[2Jil "), nullptr);
    EXPECT_NE(std::strstr(PAGES[0].buf, "Init?]0;owned?"), nullptr);
    EXPECT_NE(std::strstr(ALERTS.buf, "OSPF: core?[5m-b MISSING"), nullptr);

    fsroot_set("");
    g_n_ifaces = 0;
    g_n_ospf_exp = 0;
    g_nctrs = 0;
    alerts_clear();
    sb_clear(&PAGES[0]);
}

}  // namespace
