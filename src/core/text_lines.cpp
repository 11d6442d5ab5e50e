#include "core/text_lines.hpp"

#include <cstring>

long ls_getline(LineSource *s, char *line, size_t size)
{
    if (s->lr) return lr_getline(s->lr, line, size);
    if (s->text.empty()) return -1;
    size_t nl = s->text.find('\n');
    size_t take = nl == std::string_view::npos ? s->text.size() : nl;
    size_t kept = 0;
    if (size > 0) {
        kept = take < size - 1 ? take : size - 1;
        std::memcpy(line, s->text.data(), kept);
        line[kept] = '\0';
    }
    s->text.remove_prefix(nl == std::string_view::npos ? take : nl + 1);
    return static_cast<long>(kept);
}
