// /proc/net/softnet_stat: ingress drops and time squeezes summed over all CPUs.
#pragma once
#include <cstdint>
#include <string_view>

constexpr const char *PROC_NET_SOFTNET = "/proc/net/softnet_stat";

void softnet_read(uint64_t *drops, uint64_t *squeeze);
// The same sums over file contents already in memory.
void softnet_parse(std::string_view text, uint64_t *drops, uint64_t *squeeze);

// One CPU's line: the hexadecimal columns processed, dropped and time-squeezed.
// Adds columns 2 and 3 to the sums and returns true when all three convert;
// otherwise the sums are left alone.
bool softnet_parse_line(const char *line, uint64_t *drops, uint64_t *squeeze);
