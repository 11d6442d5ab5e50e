// Page 4 is empty and takes no keys until the gate console is built.
#include "gate/mw_page.hpp"

int32_t g_mw_force_redisc = 0;

void mw_render() {}

int mw_key(int) { return 0; }
