// /proc/net/snmp6: one "name value" counter per line, names taken as they stand.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "core/kernel_file.hpp"
#include "core/line_reader.hpp"
#include "core/text_lines.hpp"
#include "core/unique_fd.hpp"
#include "overview/nst_table.hpp"

namespace {

constexpr size_t SNMP6_LINE_MAX = 255;
constexpr size_t SNMP6_NAME_MAX = 79;

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A name of at most 79 characters, blanks, an unsigned decimal number; other lines
// are skipped. A longer name is skipped whole rather than split, so digits inside
// it are never taken for the value. beyond is the first character cut off an
// over-long line ('\0' when none was).
void snmp6_line(const char *s, char beyond)
{
    while (is_space(*s)) s++;
    const char *name = s;
    while (*s && !is_space(*s)) s++;
    size_t nlen = static_cast<size_t>(s - name);
    if (nlen == 0 || nlen > SNMP6_NAME_MAX) return;
    while (is_space(*s)) s++;
    const char *digits = (*s == '+' || *s == '-') ? s + 1 : s;
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return;
    char *end;
    uint64_t v = std::strtoull(s, &end, 10);
    if (*end == '\0' && std::isdigit(static_cast<unsigned char>(beyond))) return;  // only part of the value is here
    char buf[SNMP6_NAME_MAX + 1];
    std::memcpy(buf, name, nlen);
    buf[nlen] = '\0';
    nst_put(buf, v);
}

}  // namespace

static void snmp6_from(LineSource *src)
{
    char line[SNMP6_LINE_MAX + 2];
    long n;
    while ((n = ls_getline(src, line, sizeof line)) >= 0) {
        char beyond = '\0';
        if (static_cast<size_t>(n) > SNMP6_LINE_MAX) {
            beyond = line[SNMP6_LINE_MAX];
            line[SNMP6_LINE_MAX] = '\0';
        }
        snmp6_line(line, beyond);
    }
}

void nst_parse_snmp6(std::string_view text)
{
    LineSource src = lines_of(text);
    snmp6_from(&src);
}

void nst_load_snmp6(const char *path)
{
    UniqueFd fd(kfile_open(path));
    if (!fd.ok()) return;
    LineReader lr;
    lr_init(&lr, fd.fd);
    LineSource src = lines_of(&lr);
    snmp6_from(&src);
}
