// A fresh temporary directory, removed with its contents; plus file writing for fixtures.
#pragma once
#include <string>

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    // Writes a file under the directory, creating parent directories.
    std::string write(const std::string &rel, const std::string &content) const;
    std::string mkdir(const std::string &rel) const;
};

std::string read_whole_file(const std::string &path);
// A fixture file of the suite, by its path under tests/.
std::string fixture(const std::string &rel);
