// The terminal the monitor runs on: raw keys, the alternate screen, the
// signals that end, suspend or resize it, and handing it all back as it was.
#pragma once

// Undoes what must not outlive the process: a live stack-trace trigger, a
// running tcpdump, raw terminal mode and the hidden cursor. Safe to repeat.
void full_cleanup();
// SIGINT/SIGTERM/SIGHUP/SIGQUIT: the async-signal-safe part of full_cleanup, then _exit(0).
void on_sigint(int sig);
// The handlers for ending, Ctrl-Z and resizing; full_cleanup at exit.
void install_signals();
// Puts the keyboard in raw mode when keys are read.
void terminal_setup(bool key_input);
// Whether the screen is fitted to the window and drawn on the alternate screen.
void screen_setup();
// Fits the screen to the window's size as it is now.
void screen_refit();
// True, once, after a resize (already fitted) or a resume from Ctrl-Z: repaint.
bool screen_repaint_wanted();
