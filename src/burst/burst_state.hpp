// Burst catcher state read by the screen, the main loop and the exit path.
#pragma once
#include <cstdint>
#include <ctime>

struct BurstEntry {
    char when[24];          // local time at the end of the capture, %H:%M:%S
    char dir[96];           // the capture directory
    int64_t trigger_delta;  // tx_dropped increase that started the capture
    int64_t window_drops;   // tx_dropped at the end minus at the trigger
    int32_t n_stacks;       // stack traces in the copied trace
    char txpath[192];       // most frequent transmit-path functions, or the no-frames text
    char note[96];          // why files are missing or the trigger stayed attached; empty when all went well
    uint32_t files;         // the capture files written, bit i for CAPTURE_FILES[i]
};

constexpr int BURST_RING = 8;

extern char g_tracedir[64];     // our trace instance (or the tracefs root); empty when none
extern char g_burst_why[128];   // why g_tracedir is empty
extern char g_burst_dir[96];    // directory of the current or last capture; empty when it writes no files
extern int32_t g_burst_state;   // 0 idle, 1 capturing
extern double g_burst_t0;       // monotonic seconds at capture start
extern int64_t g_burst_trigdelta;
extern uint64_t g_burst_startval;
extern int32_t g_tcpdump_pid;   // capture child (timeout running tcpdump, its own process group), -1 when none
extern int32_t g_n_bursts;      // completed since start; only grows
extern BurstEntry g_bursts[BURST_RING];
extern uint64_t g_burst_prev;
extern int32_t g_burst_prev_ok;
extern bool g_burst_if_missing;  // the watched interface does not exist (read each sample)

// Whether a capture window is open (the screen flags it).
bool burst_capturing();
// Start-up: removes instances left by monitors that were killed, then finds a
// writable kfree_skb trigger (in an instance of our own where the kernel has
// them, its ring sized down) or records why there is none. Resets the capture
// store: nothing written yet this run.
void burst_probe();
// Once per sample, after the snapshots: may start a capture.
void burst_detect();
// Starts a capture for a tx_dropped rise of delta seen at wall-clock time now.
void burst_begin(int64_t delta, time_t now);
// Ends a running capture (called from the wait once the window has passed).
void burst_finish();
// A normal end of the run (q, the sample count) inside a window: the capture
// is cut short and its files written. Nothing when idle.
void burst_complete();
// Builds page 3.
void render_burst_page();
// Key b: arms or disarms the catcher and rebuilds page 3 to show it.
void burst_toggle_arm();
// Async-signal-safe: detaches a live trigger, stops tcpdump and removes our
// trace instance. Safe to repeat; the normal exit path runs it too.
void burst_cleanup_signal_safe();
