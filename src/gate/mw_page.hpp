// The Moatwall page as the main loop sees it.
#pragma once
#include <cstdint>

extern int32_t g_mw_force_redisc;

// Builds page 4.
void mw_render();
// Offers one key (a byte, or a KEY_* code of core/keys.hpp) while page 4 is
// shown. Returns 1 when the page took it (it has then rebuilt itself), else 0.
int mw_key(int key);
