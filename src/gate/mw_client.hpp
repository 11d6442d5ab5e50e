// The monitor's side of the gate daemon's line protocol: one persistent Unix
// socket, request/reply with bounded waits, the parsed "status", the message line.
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

// Every wait for the daemon (connect, each piece of a reply) ends after this.
constexpr int MW_WAIT_MS = 700;

// 0 when a connection is open (already or newly made), -1 when none was made.
int mw_connect();
// Sends cmd (at most 62 characters) as one line and gathers the reply's data
// lines into reply. 0 for "OK", -1 for "ERR" (the message line then holds the
// daemon's text), -2 when the daemon is unreachable or the exchange broke.
int mw_req(const char *cmd, char *reply, size_t size);
// One "status" exchange into the gate state above.
void mw_refresh_status();
void mw_msgf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Closes the connection; the next request connects anew.
void mw_drop_conn();

// Where the daemon's socket and pins are. Tests point these at their own daemon
// (also through TARNWATCH_TEST_MW_SOCK and TARNWATCH_TEST_MW_PINS for the binary),
// so they never meet the real /run/moatwall.sock or /sys/fs/bpf/moatwall.
void mw_paths_set(const char *sock, const char *pindir);
const char *mw_sock_path();
const char *mw_pin_dir();
