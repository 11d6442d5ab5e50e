// /proc/net/softnet_stat: ingress drops and time squeezes summed over all CPUs.
#pragma once
#include <cstdint>

void softnet_read(uint64_t *drops, uint64_t *squeeze);
