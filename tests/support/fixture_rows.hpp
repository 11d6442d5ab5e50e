// Case tables kept as text beside the tests: one case a line, its fields split
// by tabs. Lines that are blank or start with '#' (a header naming the columns)
// are skipped. In a field, \t \n \e \\ and \xHH stand for their bytes, so a row
// can carry any byte, hostile ones included.
#pragma once
#include <string>
#include <vector>

using FixtureRow = std::vector<std::string>;

// The rows of a fixture file, by its path under tests/; each row is checked to
// have exactly `fields` fields (a test fails on a malformed row rather than
// reading past it).
std::vector<FixtureRow> fixture_rows(const std::string &rel, size_t fields);
// A field's escapes turned into bytes.
std::string unescape_field(const std::string &field);
// A field of tab-separated words as an argument vector, ended by a null pointer:
// each tab in words becomes the end of one argument, so the pointers point into
// words and live as long as it does.
std::vector<char *> field_args(std::string &words);
