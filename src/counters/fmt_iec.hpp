// Compact numbers in units of 1024 (K, M, G, T, P) into a 32-byte field.
#pragma once
#include <cstdint>

void fmt_iec(uint64_t value, char out[32]);
void fmt_iec_d(double value, char out[32]);
