// The alert list of the current sample, shown as one line above every page.
#pragma once
#include <cstdint>

#include "core/strbuf.hpp"

extern StrBuf ALERTS;
extern int32_t n_alerts;

void alert(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Empties the list at the start of a sample.
void alerts_clear();
