// The coloured link-state text of one interface.
#pragma once

struct IfSnap;

// Writes the state text (at most 39 characters) and points *color at GRN, YEL or RED.
void link_state(const IfSnap *s, const char *name, char out[40], const char **color);
// Whether the link is operational: its operstate is "up", or, for links that
// report "unknown" (tunnels, some drivers), it is up with a carrier.
bool link_running(const IfSnap *s);
