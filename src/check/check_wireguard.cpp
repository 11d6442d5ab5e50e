// WireGuard: the devices discovery finds, `wg` as page 1 runs it, and the
// configuration files that name the peers.
#include <cstring>

#include "check/check_report.hpp"
#include "core/run_tool.hpp"
#include "core/settings.hpp"
#include "core/vis_text.hpp"
#include "overview/wg_dump.hpp"
#include "topology/wg_discover.hpp"

namespace {

void wg_tool(Check *c)
{
    char out[4096] = "";
    check_runs_begin(*c);
    ToolRun run;
    int st = wg_dump_start(&run, g_wgdevs[0]) == 0 ? check_finish(&run, out, sizeof out) : -1;
    check_runs_end();
    char devs[160] = "";
    size_t len = 0;
    for (int32_t i = 0; i < g_n_wgdevs && len + 20 < sizeof devs; i++)
        len += static_cast<size_t>(
            std::snprintf(devs + len, sizeof devs - len, "%s%s", i ? " " : "", vis_ifname(g_wgdevs[i]).s));
    if (st == 0 && out[0])
        check_line(c, CHECK_OK, "wg", "answers for %s", devs);
    else if (st == 127)
        check_line(c, CHECK_FAIL, "wg", "not on PATH, WireGuard devices %s: install wireguard-tools", devs);
    else
        check_line(c, CHECK_FAIL, "wg", "no peer list for %s (not root?): the peer sections stay empty",
                   vis_ifname(g_wgdevs[0]).s);
}

}  // namespace

void check_wireguard(Check *c)
{
    wg_discover();
    if (g_n_wgdevs == 0) {
        check_line(c, CHECK_NOTE, "wg", "no WireGuard devices here, not needed");
        check_line(c, CHECK_NOTE, "wireguard configs", "no WireGuard devices here, not needed");
        return;
    }
    wg_tool(c);
    if (g_n_wgconfs == g_n_wgdevs)
        check_line(c, CHECK_OK, "wireguard configs", "%s: %d peer names", vis(g_wgdir).s, g_n_peer_names);
    else
        check_line(c, CHECK_NOTE, "wireguard configs",
                   "%s holds %d of %d device configs: peers without a name show by key; -W DIR names the place",
                   vis(g_wgdir).s, g_n_wgconfs, g_n_wgdevs);
}
