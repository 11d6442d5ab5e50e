// Captures what a piece of code writes to standard output (through stdio or write(2)).
#pragma once
#include <functional>
#include <string>

std::string capture_stdout(const std::function<void()> &fn);
