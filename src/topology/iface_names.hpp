// The names of the interfaces that exist, for the hints that name a missing one.
#pragma once
#include <cstddef>

// The interfaces under /sys/class/net (at most 64), sorted, shown safely and
// joined by blanks into out; "" when none can be listed.
void list_interfaces(char *out, size_t n);
