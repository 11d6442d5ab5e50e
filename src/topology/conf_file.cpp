#include "topology/conf_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/unique_fd.hpp"

bool conf_read(const char *path, std::string *text)
{
    text->clear();
    if (!path) return false;
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd.ok() || ::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // One byte past the limit tells a cut file from one that ends there.
    text->resize(CONF_MAX_BYTES + 1);
    size_t got = 0;
    while (got < text->size()) {
        ssize_t n = ::read(fd.fd, text->data() + got, text->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got > CONF_MAX_BYTES) {
        size_t nl = text->rfind('\n', CONF_MAX_BYTES - 1);
        got = nl == std::string::npos ? 0 : nl + 1;
    }
    text->resize(got);
    return true;
}
