// Burst catcher state read by the screen, the main loop and the exit path.
#pragma once
#include <cstdint>

extern char g_tracedir[64];
extern char g_burst_why[128];
extern int32_t g_burst_state;  // 0 idle, 1 capturing
extern double g_burst_t0;      // monotonic seconds at capture start
extern int32_t g_tcpdump_pid;  // capture child, -1 when none

// Start-up: finds a writable kfree_skb trigger or records why there is none.
void burst_probe();
// Once per sample, after the snapshots: may start a capture.
void burst_detect();
// Ends a running capture (called from the wait once the window has passed).
void burst_finish();
// Builds page 3.
void render_burst_page();
