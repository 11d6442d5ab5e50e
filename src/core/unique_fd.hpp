// A descriptor that is closed when it goes out of scope.
#pragma once
#include <unistd.h>

struct UniqueFd {
    int fd = -1;
    UniqueFd() = default;
    explicit UniqueFd(int f) : fd(f) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    UniqueFd &operator=(UniqueFd &&o) noexcept
    {
        if (this != &o) { reset(); fd = o.fd; o.fd = -1; }
        return *this;
    }
    ~UniqueFd() { reset(); }
    void reset(int f = -1)
    {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
    bool ok() const { return fd >= 0; }
};
