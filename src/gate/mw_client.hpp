// The monitor's side of the gate daemon's line protocol: one persistent Unix
// socket, request/reply exchanges bounded as a whole, the parsed "status", the
// message line.
#pragma once
#include <cstddef>
#include <cstdint>

extern int g_mwc;
extern int g_mw_daemon_ok;
extern char g_mw_gif[16];
extern int g_mw_att;
extern char g_mw_attmode[16];
extern char g_mw_gate[8][16];
extern int g_mw_ngate;
extern char g_mw_msg[160];
// Data lines of the last reply that did not fit the caller's buffer.
extern int g_mw_nskipped;

// One whole exchange (connect, request, complete reply) ends within this,
// whatever the daemon does: the monitor's loop must go on.
constexpr int MW_EXCHANGE_MS = 700;

// 0 when a connection is open (already or newly made), -1 when none was made
// within MW_EXCHANGE_MS.
int mw_connect();
// Sends cmd (at most 62 characters) as one line and gathers the reply's data
// lines into reply. 0 for "OK", -1 for "ERR" (the message line then holds the
// daemon's text), -2 when the daemon is unreachable, the exchange broke or it
// did not end within MW_EXCHANGE_MS.
int mw_req(const char *cmd, char *reply, size_t size);
// One "status" exchange into the gate state above.
void mw_refresh_status();
void mw_msgf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The message line after a command that succeeded: done, then the daemon's
// notes (one per data line of reply: items it skipped or found in conflict),
// as many as fit, and how many more there were.
void mw_msg_done(const char *done, const char *reply);
// Closes the connection; the next request connects anew.
void mw_drop_conn();

// Where the daemon's socket and pins are. Tests point these at their own daemon
// (also through TARNWATCH_TEST_MW_SOCK and TARNWATCH_TEST_MW_PINS for the binary),
// so they never meet the real /run/moatwall.sock or /sys/fs/bpf/moatwall.
void mw_paths_set(const char *sock, const char *pindir);
const char *mw_sock_path();
const char *mw_pin_dir();
