#pragma once
// printf into a std::string.

#include <string>

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
