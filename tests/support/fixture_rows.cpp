#include "support/fixture_rows.hpp"

#include <gtest/gtest.h>

#include "support/tmpdir.hpp"

std::string unescape_field(const std::string &f)
{
    std::string out;
    for (size_t i = 0; i < f.size(); i++) {
        if (f[i] != '\\' || i + 1 == f.size()) {
            out += f[i];
            continue;
        }
        char c = f[++i];
        if (c == 'x' && i + 2 < f.size()) {
            out += static_cast<char>(std::stoi(f.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'e' ? '\x1b' : c;
        }
    }
    return out;
}

std::vector<char *> field_args(std::string &words)
{
    std::vector<char *> argv = {words.data()};
    for (size_t tab; (tab = words.find('\t')) != std::string::npos; argv.push_back(&words[tab + 1])) words[tab] = '\0';
    argv.push_back(nullptr);
    return argv;
}

std::vector<FixtureRow> fixture_rows(const std::string &rel, size_t fields)
{
    std::vector<FixtureRow> rows;
    const std::string text = fixture(rel);
    for (size_t at = 0, nl; at < text.size(); at = nl + 1) {
        nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        const std::string line = text.substr(at, nl - at);
        if (line.empty() || line[0] == '#') continue;
        FixtureRow row;
        for (size_t from = 0, tab;; from = tab + 1) {
            tab = line.find('\t', from);
            row.push_back(unescape_field(line.substr(from, tab == std::string::npos ? tab : tab - from)));
            if (tab == std::string::npos) break;
        }
        EXPECT_EQ(row.size(), fields) << rel << ": " << line;
        if (row.size() == fields) rows.push_back(row);
    }
    EXPECT_FALSE(rows.empty()) << rel << ": no rows";
    return rows;
}
