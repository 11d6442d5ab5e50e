#include "overview/softnet_stat.hpp"

#include <cctype>
#include <cstdlib>

#include "core/kernel_file.hpp"
#include "core/line_reader.hpp"
#include "core/text_lines.hpp"
#include "core/unique_fd.hpp"

bool softnet_parse_line(const char *line, uint64_t *drops, uint64_t *squeeze)
{
    uint64_t col[3];
    const char *p = line;
    for (uint64_t &c : col) {
        char *end;
        c = std::strtoull(p, &end, 16);
        if (end == p) return false;
        p = end;
    }
    *drops += col[1];
    *squeeze += col[2];
    return true;
}

static void softnet_from(LineSource *src, uint64_t *drops, uint64_t *squeeze)
{
    // 1023 characters are kept of a line; one more is read to see whether the cut
    // split a number, whose kept part is then dropped rather than added.
    char line[1025];
    long n;
    while ((n = ls_getline(src, line, sizeof line)) >= 0) {
        if (n > 1023) {
            size_t end = 1023;
            if (std::isxdigit(static_cast<unsigned char>(line[end])))
                while (end > 0 && !std::isspace(static_cast<unsigned char>(line[end - 1]))) end--;
            line[end] = '\0';
        }
        softnet_parse_line(line, drops, squeeze);
    }
}

void softnet_parse(std::string_view text, uint64_t *drops, uint64_t *squeeze)
{
    *drops = 0;
    *squeeze = 0;
    LineSource src = lines_of(text);
    softnet_from(&src, drops, squeeze);
}

void softnet_read(uint64_t *drops, uint64_t *squeeze)
{
    *drops = 0;
    *squeeze = 0;
    UniqueFd fd(kfile_open(PROC_NET_SOFTNET));
    if (!fd.ok()) return;
    LineReader lr;
    lr_init(&lr, fd.fd);
    LineSource src = lines_of(&lr);
    softnet_from(&src, drops, squeeze);
}
