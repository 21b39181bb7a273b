#pragma once

#include <string>

// printf-style formatting in the C locale, whatever locale the process runs in:
// a full stop as the decimal separator and no grouping.
std::string formatWithoutLocale(const char* format, ...) __attribute__((format(printf, 1, 2)));
