// One sample of each watched interface: sysfs statistics, link fields, qdisc, rates.
#pragma once
#include <cstdint>

// Fills g_snap[index] for the interface; dt is the seconds since the previous sample.
void ifsnap_take(uint32_t index, const char *name, double dt);
