#include "topology/machine_defaults.hpp"

#include <cstring>
#include <unistd.h>

#include "core/settings.hpp"
#include "topology/default_route.hpp"
#include "topology/ifaces.hpp"

void settings_fill_defaults()
{
    static char route_if[16];
    if (!g_wan_given && !if_exists(g_wan) && default_route_iface(route_if) == 0 && if_exists(route_if) &&
        std::strcmp(route_if, g_lan) != 0)
        g_wan = route_if;
    if (!g_birdconf_given && ::access(DEFAULT_BIRDCONF, F_OK) != 0) g_birdconf = DEBIAN_BIRDCONF;
}
