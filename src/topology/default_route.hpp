// /proc/net/route: which interface carries the IPv4 default route, so a first
// run on a machine without the built-in interface names still watches its uplink.
#pragma once
#include <string_view>

// The interface of the default route (destination and mask 0, route up) with
// the lowest metric, from the file's text, into out. 0, or -1 when there is none.
int default_route_parse(std::string_view text, char out[16]);
// The same from /proc/net/route under the fixture root.
int default_route_iface(char out[16]);
