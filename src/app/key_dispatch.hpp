// What a key does (pages, scrolling, help, quitting, page 4's own keys, arming
// the burst catcher), between samples and while one collects.
#pragma once

#include <sys/types.h>

extern bool g_key_input;       // keys are read from the terminal
extern bool g_quit_in_sample;  // q was pressed while a sample collected
extern bool g_pages_shown;     // before the first sample only q is answered at once

// Handles one key; returns false when it asks to quit.
bool handle_key(int key);
// Reads what the terminal has into bytes; returns the count, as read does.
ssize_t read_keys(unsigned char (&bytes)[8]);
// Called by the tool runner while a sample collects; false once q was pressed.
bool keys_during_sample();
// The keys held during the sample, now that its pages are shown; false when one quits.
bool held_keys();
