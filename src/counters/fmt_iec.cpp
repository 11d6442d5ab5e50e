#include "counters/fmt_iec.hpp"

#include <cstdio>

static constexpr const char *IEC_UNITS[] = {"", "K", "M", "G", "T", "P"};

// Scales x >= 1024 at most five times; whatever is left after P stays in P.
static void fmt_scaled(double x, char out[32])
{
    int units = 0;
    while (units < 5) {
        x *= 0.0009765625;
        units++;
        if (x < 1024.0) break;
    }
    double v = x;
    std::snprintf(out, 32, "%.1f%s", v, IEC_UNITS[units]);
}

void fmt_iec(uint64_t value, char out[32])
{
    double x = static_cast<double>(value);
    if (x < 1024.0)
        std::snprintf(out, 32, "%llu", static_cast<unsigned long long>(value));
    else
        fmt_scaled(x, out);
}

void fmt_iec_d(double value, char out[32])
{
    if (value < 1024.0)
        std::snprintf(out, 32, "%.0f", value);
    else
        fmt_scaled(value, out);
}
