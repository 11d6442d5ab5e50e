// The export's areas, each writing the series of what one page shows, in the
// file's order. Every value comes from the tables the pages read.
#pragma once
#include <cstdint>

#include "core/strbuf.hpp"

struct Counter;
struct EthDev;

// The counter of key when some page recorded it, else nullptr: never creates
// an entry, so the counter table and the pages stay as they would be without
// the export.
const Counter *tf_counter(const char *key);

void tf_export_interfaces(StrBuf *out);
void tf_export_driver_stats(StrBuf *out, const EthDev *nics, int32_t n_nics);
void tf_export_kernel(StrBuf *out);
void tf_export_wireguard(StrBuf *out);
void tf_export_ospf(StrBuf *out);
void tf_export_bursts(StrBuf *out);
void tf_export_gate(StrBuf *out);
