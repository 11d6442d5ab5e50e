#include "ifdetail/ifsnap.hpp"

IfSnap g_snap[MAX_SNAPS];

void ifsnap_take(uint32_t, const char *, double) {}
