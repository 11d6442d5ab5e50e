// Start-up, the sampling loop, keys, terminal handling and clean exit.
#pragma once

// The whole program: returns the exit status (0, 1 or 2).
int tarnwatch_main(int argc, char **argv);

// Undoes what must not outlive the process: a live stack-trace trigger, a
// running tcpdump, raw terminal mode and the hidden cursor. Safe to repeat.
void full_cleanup();
// SIGINT/SIGTERM/SIGHUP/SIGQUIT: the async-signal-safe part of full_cleanup, then _exit(0).
void on_sigint(int sig);
