// The Prometheus text exposition, one family at a time: its HELP and TYPE
// lines go out with its first sample, and a label set seen before in the family
// is dropped, since a repeated series makes the collector reject the whole file
// (two driver statistics of one name, a neighbour listed twice, names that
// differ only in bytes shown alike).
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/strbuf.hpp"

// Starts a family written into out.
void tf_family(StrBuf *out, const char *name, const char *type, const char *help);
// Starts the label set of the next sample, then adds one label to it (value n
// bytes long; SIZE_MAX: up to its NUL).
void tf_labels_begin();
void tf_label(const char *key, const char *value, size_t n = SIZE_MAX);
// One sample of the family, with the label set or without any.
void tf_value_u(uint64_t v, bool with_labels = true);
void tf_value_i(int64_t v, bool with_labels = true);
void tf_value_d(double v, bool with_labels = true);
// A family of one unlabelled sample.
void tf_single_u(StrBuf *out, const char *name, const char *type, const char *help, uint64_t v);

// A label value as the format requires it: backslash, double quote and line feed
// escaped; other control bytes and bytes that are not valid UTF-8 written as the
// text \xNN, so the file stays valid UTF-8 and shows no raw terminal controls.
void tf_label_value(StrBuf *out, const char *s, size_t n);
