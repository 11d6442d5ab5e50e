#include "ifdetail/ifsnap.hpp"

void ifsnap_take(uint32_t, const char *, double) {}
