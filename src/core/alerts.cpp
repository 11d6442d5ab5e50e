#include "core/alerts.hpp"

#include <cstdarg>
#include <cstdio>

#include "core/vis_text.hpp"

StrBuf ALERTS;
int32_t n_alerts = 0;

void alert(const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) text[0] = '\0';
    vis_inplace(text);  // alert texts carry outside names and tool output
    if (n_alerts != 0) sb_addf(&ALERTS, " | ");
    sb_addf(&ALERTS, "%s", text);
    n_alerts++;
}

void alerts_clear()
{
    sb_clear(&ALERTS);
    n_alerts = 0;
}
