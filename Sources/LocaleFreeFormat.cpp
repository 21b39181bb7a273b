#include "LocaleFreeFormat.h"

#include <locale.h>

#include <cstdarg>
#include <cstdio>
#include <string>

std::string formatWithoutLocale(const char* format, ...) {
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const locale_t previous = cLocale != nullptr ? ::uselocale(cLocale) : nullptr;

    char buffer[256];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);

    std::string text;
    if (length >= static_cast<int>(sizeof buffer)) {
        text.resize(static_cast<std::size_t>(length) + 1);
        va_start(arguments, format);
        std::vsnprintf(text.data(), text.size(), format, arguments);
        va_end(arguments);
        text.resize(static_cast<std::size_t>(length));
    } else if (length > 0) {
        text.assign(buffer, static_cast<std::size_t>(length));
    }

    if (previous != nullptr) {
        ::uselocale(previous);
    }
    return text;
}
