#include "topology/conf_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

bool conf_open(const char *path, UniqueFd *fd, LineReader *lr)
{
    if (!path) return false;
    fd->reset(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd->ok() || ::fstat(fd->fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    lr_init(lr, fd->fd);
    return true;
}
