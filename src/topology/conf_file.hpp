// Opening a configuration file named by the operator (-W, -b) for line reading.
#pragma once
#include "core/line_reader.hpp"
#include "core/unique_fd.hpp"

// Opens path for reading through lr. Regular files only, opened without blocking,
// so a FIFO or a device put in place of a configuration file cannot stall or
// flood discovery. Returns false when there is nothing to read.
bool conf_open(const char *path, UniqueFd *fd, LineReader *lr);
