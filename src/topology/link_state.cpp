#include "topology/link_state.hpp"

#include <cstdio>
#include <cstring>

#include "core/colors.hpp"
#include "ifdetail/ifsnap.hpp"
#include "topology/wg_discover.hpp"

static const WgHealth *wg_health_of(const char *name)
{
    for (int32_t i = 0; i < g_n_wg_health && i < MAX_WG_HEALTH; i++)
        if (std::strcmp(g_wg_health[i].name, name) == 0) return &g_wg_health[i];
    return nullptr;
}

// A WireGuard device is judged by its peers: its operstate says nothing about tunnels.
static void wg_link_state(const IfSnap *s, const char *name, char out[40], const char **color)
{
    bool up = s->flags & IFF_UP_BIT;
    const WgHealth *h = wg_health_of(name);
    if (!up) {
        std::snprintf(out, 40, "down");
        *color = RED;
    } else if (!h || h->peers <= 0) {
        std::snprintf(out, 40, "up (no peer data)");
        *color = YEL;
    } else if (h->fresh <= 0) {
        std::snprintf(out, 40, "up 0/%d peers STALE", h->peers);
        *color = RED;
    } else {
        std::snprintf(out, 40, "up %d/%d peers", h->fresh, h->peers);
        *color = GRN;
    }
}

bool link_running(const IfSnap *s)
{
    if (std::strcmp(s->operstate, "unknown") != 0) return std::strcmp(s->operstate, "up") == 0;
    return (s->flags & IFF_UP_BIT) && (s->flags & (IFF_RUNNING_BIT | IFF_LOWER_UP_BIT));
}

void link_state(const IfSnap *s, const char *name, char out[40], const char **color)
{
    if (s->is_wg) {
        wg_link_state(s, name, out, color);
        return;
    }
    if (std::strcmp(s->operstate, "unknown") != 0) {
        std::snprintf(out, 40, "%.15s", s->operstate[0] ? s->operstate : "?");
        *color = std::strcmp(s->operstate, "up") == 0 ? GRN : RED;
        return;
    }
    // Tunnels and some drivers never report an operstate; fall back to the flags.
    if (!(s->flags & IFF_UP_BIT)) {
        std::snprintf(out, 40, "down");
        *color = RED;
    } else if (link_running(s)) {
        std::snprintf(out, 40, "up*");
        *color = GRN;
    } else {
        std::snprintf(out, 40, "up? (no-carrier)");
        *color = YEL;
    }
}
