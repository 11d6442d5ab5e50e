#include "support/capture_stdout.hpp"

#include <cstdio>
#include <unistd.h>

#include "support/tmpdir.hpp"

std::string capture_stdout(const std::function<void()> &fn)
{
    TempDir dir;
    std::string path = dir.path + "/stdout";
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE *f = std::fopen(path.c_str(), "w");
    dup2(fileno(f), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::fclose(f);
    return read_whole_file(path);
}
