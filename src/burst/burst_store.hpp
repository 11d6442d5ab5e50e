// Where a capture's files go: a directory of its own per capture, made by the
// monitor alone and readable by root alone, within the run's size budget and
// above a free-space floor on the capture filesystem.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

// The files a capture may hold, in the order the page lists them; bit i of a
// file mask stands for CAPTURE_FILES[i].
enum CaptureFile { CF_STACKS, CF_REASONS, CF_PCAP, CF_COUNTERS, CF_N };
extern const char *const CAPTURE_FILES[CF_N];

constexpr size_t TRACE_COPY_MAX = 4194303;  // 4 MiB - 1; the chunk read past it is not written
constexpr size_t TRACE_CHUNK = 65536;
constexpr int PCAP_PACKETS = 400;
constexpr int PCAP_SNAPLEN = 2048;          // bytes kept of each packet: headers and then some
// The most one capture can write: the trace copy, 400 records of a 16-byte
// header and a cut packet after the file header, and the two small text files.
constexpr uint64_t CAPTURE_WORST =
    (TRACE_COPY_MAX + TRACE_CHUNK) + (24 + PCAP_PACKETS * (16 + PCAP_SNAPLEN)) + 65536;
constexpr uint64_t FREE_FLOOR_MIN = 16ULL << 20;  // the floor is this or a tenth of the filesystem, the larger

// Start-up: the parent of the capture directories is "/tmp" (a test names its
// own in TARNWATCH_TEST_CAPTURE_DIR) and nothing is written yet.
void store_init();
void store_parent_set(const char *dir);
const char *store_parent();

// Why a capture of this run may not write files now (budget or floor, given the
// bytes the run wrote and the filesystem's size and free bytes); nullptr when it may.
const char *store_refusal(uint64_t used, uint64_t budget, uint64_t fs_size, uint64_t fs_free, char *why, size_t size);

// Makes the capture's directory "<parent>/burst-YYYYmmdd-HHMMSS-XXXXXX" for
// the trigger time when, and keeps it open. 0, with its path in dir; -1 with
// the reason files are skipped in note (no directory is then open).
int store_open(time_t when, char *dir, size_t dsize, char *note, size_t nsize);
bool store_ok();
// A new file in the open directory: created here and now (never an existing
// name), mode 0600. -1 when there is no directory or it cannot be made.
int store_create(CaptureFile f);
// One of the open directory's files for reading; -1 when absent.
int store_read(CaptureFile f);
// Closes the directory, adds the sizes of its files to the run's total and
// returns the mask of the files it holds.
uint32_t store_close();
// Bytes of capture files written by this run.
uint64_t store_used();
