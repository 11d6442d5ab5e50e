// Page 3: the catcher's state and the caught bursts, newest first.
#include <cstdio>
#include <ctime>

#include "burst/burst_state.hpp"
#include "burst/burst_store.hpp"
#include "core/colors.hpp"
#include "core/line_reader.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/vis_text.hpp"
#include "counters/fmt_iec.hpp"

char g_tracedir[64] = "";
char g_burst_why[128] = "";

// "stacks.txt,reasons.txt,..." of the files a capture wrote (all four fit in 64 bytes).
static void file_list(uint32_t files, char out[64])
{
    size_t at = 0;
    out[0] = '\0';
    for (int i = 0; i < CF_N; i++)
        if (files & (1U << i))
            at += static_cast<size_t>(std::snprintf(out + at, 64 - at, "%s%s", at ? "," : "", CAPTURE_FILES[i]));
}

void burst_toggle_arm()
{
    g_burst_arm = !g_burst_arm;
    sb_clear(&PAGES[2]);
    render_burst_page();
}

void render_burst_page()
{
    StrBuf *p = &PAGES[2];
    sb_addf(p, "%s=== Burst catcher ===%s\n", BOLD, RST);
    if (g_tracedir[0] == '\0') {
        sb_addf(p, "  %sDISABLED: %s%s\n", YEL,
                g_burst_why[0] ? g_burst_why : "ftrace kfree_skb trigger not writable (need root / tracefs)", RST);
        return;
    }
    const VisText ifname = vis_ifname(g_burst_if);
    sb_addf(p, "  watching : %s (tx_dropped, poll %ds)\n", ifname.s, g_interval);
    // Armed on a name that is not there would catch nothing, silently.
    if (g_burst_if_missing)
        sb_addf(p, "  %sno interface %s here: -I IF (or -l IF) names the one to watch%s\n", YEL, ifname.s, RST);
    sb_addf(p, "  tracefs  : %s\n", g_tracedir);
    sb_addf(p, "  window   : %ds   pcap: %s   armed: %s%s%s   (key 'b' toggles)\n", g_burst_secs,
            g_burst_pcap == 1 ? "yes (400 pkts)" : "no", g_burst_arm ? GRN : YEL, g_burst_arm ? "YES" : "no", RST);
    char used[32], budget[32];
    fmt_iec(store_used(), used);
    fmt_iec(static_cast<uint64_t>(g_burst_budget_mib) << 20, budget);
    sb_addf(p, "  files    : %s/burst-*   %s of %s written\n", store_parent(), used, budget);
    if (g_burst_state == 1)
        sb_addf(p, "  state    : %sCAPTURING%s (%.1fs remain) -> %s\n", RED, RST,
                g_burst_secs - (mono_secs() - g_burst_t0), g_burst_dir[0] ? g_burst_dir : "(no files)");
    else
        sb_addf(p, "  state    : %sidle%s\n", DIM, RST);
    sb_addf(p, "\n%s--- caught bursts (newest first, %d total) ---%s\n", BOLD, g_n_bursts, RST);
    if (g_n_bursts == 0) {
        sb_addf(p, "  %s(none yet -- waiting for %s/tx_dropped to move)%s\n", DIM, ifname.s, RST);
        return;
    }
    for (int32_t k = 0; k < g_n_bursts && k < BURST_RING; k++) {
        const BurstEntry &e = g_bursts[(g_n_bursts - 1 - k) % BURST_RING];
        sb_addf(p, "  %s%s%s  +%lld trig, %lld in window, %d stacks\n", BOLD, e.when, RST,
                static_cast<long long>(e.trigger_delta), static_cast<long long>(e.window_drops), e.n_stacks);
        sb_addf(p, "           tx-path: %s%s%s\n", YEL, e.txpath, RST);
        char files[64];
        file_list(e.files, files);
        if (e.files) sb_addf(p, "           %s%s/{%s}%s\n", DIM, e.dir, files, RST);
        if (e.note[0]) sb_addf(p, "           %s%s%s\n", RED, e.note, RST);
    }
}
