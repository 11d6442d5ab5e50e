// --textfile FILE: every value the pages show, in the Prometheus text exposition
// format, for node_exporter's textfile collector. The file is replaced whole
// (written beside it, then renamed), so a scrape never reads half a sample.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/strbuf.hpp"

struct EthDev;
struct BirdcScan;

// The file to write after every sample; nullptr when not asked for.
extern const char *g_textfile;

// Values that only exist while a page is built, noted by the page as it goes.
// They are kept only while g_textfile is set, and emptied after every write.
void tf_note_wg_peer(const char *dev, std::string_view key, int64_t handshake, uint64_t rx, uint64_t tx);
void tf_note_ospf_neighbor(const char *entry, bool full);
// The end of the OSPF section: whether its MISSING check ran, and what it found.
void tf_note_ospf_table(bool readable, const BirdcScan *scan);

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

// A label value as the format requires it: backslash, double quote and line feed
// escaped; other control bytes and bytes that are not valid UTF-8 written as the
// text \xNN, so the file stays valid UTF-8 and shows no raw terminal controls.
void tf_label_value(StrBuf *out, const char *s, size_t n);
