// Reading a configuration file named by the operator (-W, -b).
#pragma once
#include <cstddef>
#include <string>

// More than any real WireGuard or BIRD configuration; reading stops here, so a
// huge (or sparse) file cannot stall a rediscovery.
constexpr size_t CONF_MAX_BYTES = 1 << 20;

// The file's text, at most CONF_MAX_BYTES of it; when it is cut, the line the
// cut falls in is left out too. Regular files only, opened without blocking,
// so a FIFO or a device put in place of a configuration file cannot stall or
// flood discovery. Returns false when there is nothing to read.
bool conf_read(const char *path, std::string *text);
