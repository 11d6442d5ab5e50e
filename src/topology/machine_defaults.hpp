// Defaults that fit this machine, for what the command line left at the
// built-in names.
#pragma once

// A missing WAN becomes the interface of the IPv4 default route, a missing
// /etc/bird.conf becomes Debian's /etc/bird/bird.conf. Names given with -w or
// -b stay as they are.
void settings_fill_defaults();
