// Before every test, the monitor's globals are put back to how a fresh process
// starts, so no test reads what another one left and the binary can run its
// tests as one process in any order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "burst/burst_state.hpp"
#include "core/alerts.hpp"
#include "core/colors.hpp"
#include "core/fsroot.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/terminal.hpp"
#include "counters/counters.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"
#include "gate/mw_page.hpp"
#include "ifdetail/ethtool.hpp"
#include "ifdetail/ifsnap.hpp"
#include "overview/nst_table.hpp"
#include "overview/page_overview.hpp"
#include "topology/ifaces.hpp"
#include "topology/ospf_expected.hpp"
#include "topology/wg_discover.hpp"

namespace {

struct FreshState : testing::EmptyTestEventListener {
    std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    void OnTestStart(const testing::TestInfo &) override
    {
        setenv("PATH", path.c_str(), 1);
        settings_defaults();
        colors_set(false);
        fsroot_set("");
        eth_set_request_fn(nullptr);
        buffers_setup();
        for (StrBuf &p : PAGES) sb_clear(&p);
        alerts_clear();
        g_page = 0;
        g_help = g_term_ansi = g_term_full = g_rows = g_cols = 0;
        g_term_entered = 0;
        for (int32_t &off : g_scroll) off = 0;
        g_last_ts = 0;
        g_nctrs = g_nst_n = g_n_ifaces = g_ifaces_left_out = g_n_wgdevs = g_n_peer_names = g_n_wg_health = g_n_peer_eps = 0;
        g_n_ospf_exp = g_n_bursts = g_burst_state = g_burst_prev_ok = 0;
        for (IfSnap &s : g_snap) s = IfSnap{};
        // Page 4's model: what the last collect read of the gate.
        mw_close_maps();
        g_mw_npfx = g_mw_npfx_all = g_mw_nport = g_mw_nport_all = g_mw_ngate = g_mw_nnic = 0;
        g_mw_daemon_ok = g_mw_mode = g_mw_pane = g_mw_sel = g_mw_msel = 0;
        g_mw_msg[0] = '\0';
        g_mw_stats = MwStats{};
    }
};

const bool registered = (testing::UnitTest::GetInstance()->listeners().Append(new FreshState), true);

}  // namespace
