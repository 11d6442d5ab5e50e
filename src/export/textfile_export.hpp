// --textfile FILE: every value the pages show, in the Prometheus text exposition
// format, for node_exporter's textfile collector. The file is replaced whole
// (written beside it, then renamed), so a scrape never reads half a sample.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/strbuf.hpp"

struct EthDev;

// Builds the exposition of the sample just taken into out.
void tf_build(StrBuf *out, const EthDev *nics, int32_t n_nics);
// Writes it to path: a temporary file in the same directory, then a rename.
// Returns 0, or -1 with errno set (the old file is then left as it was).
int tf_write_file(const char *path, const char *text, size_t len);
// After a sample: builds and writes g_textfile, then forgets the noted values.
// On failure raises an alert and returns -1; *err gets the errno.
int tf_after_sample(const EthDev *nics, int32_t n_nics, int *err);
// Async-signal-safe: removes a temporary file a signal caught half-written.
void tf_cleanup_signal_safe();
