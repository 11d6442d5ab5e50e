#include "support/tmpdir.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

TempDir::TempDir()
{
    char tmpl[] = "/tmp/tw.XXXXXX";  // short: trace instance paths under it must fit 63 bytes
    path = mkdtemp(tmpl) ? tmpl : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (path != "/tmp") std::filesystem::remove_all(path, ec);
}

std::string TempDir::write(const std::string &rel, const std::string &content) const
{
    const std::string full = path + "/" + rel;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << content;
    return full;
}

std::string TempDir::mkdir(const std::string &rel) const
{
    const std::string full = path + "/" + rel;
    std::filesystem::create_directories(full);
    return full;
}

std::string read_whole_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string fixture(const std::string &rel) { return read_whole_file(TW_SOURCE_DIR "/tests/" + rel); }
