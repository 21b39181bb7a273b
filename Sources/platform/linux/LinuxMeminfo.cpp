#include "LinuxMeminfo.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace platform {

namespace {

struct NamedField {
    std::string_view name;
    LinuxMeminfo::Field field;
};

constexpr NamedField kNamedFields[] = {
    {"MemTotal", LinuxMeminfo::MemTotal},
    {"Active", LinuxMeminfo::Active},
    {"Unevictable", LinuxMeminfo::Unevictable},
    {"SUnreclaim", LinuxMeminfo::SUnreclaim},
    {"KernelStack", LinuxMeminfo::KernelStack},
    {"PageTables", LinuxMeminfo::PageTables},
    {"Zswap", LinuxMeminfo::Zswap},
    {"SwapTotal", LinuxMeminfo::SwapTotal},
    {"SwapFree", LinuxMeminfo::SwapFree},
};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Reads "<blanks><digits>[<blanks>kB]<blanks>" as a count of kB; false for anything else.
bool parseKilobytes(std::string_view text, std::uint64_t& kilobytes) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    const std::size_t firstDigit = i;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (value > (kMax - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
        ++i;
    }
    if (i == firstDigit) {
        return false;
    }
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    if (text.substr(i, 2) == "kB") {
        i += 2;
    }
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    if (i != text.size()) {
        return false;
    }
    kilobytes = value;
    return true;
}

}  // namespace

LinuxMeminfo LinuxMeminfo::parse(std::string_view text) {
    LinuxMeminfo result;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            break;  // the last line was cut off
        }
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);

        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string_view name = line.substr(0, colon);
        for (const NamedField& named : kNamedFields) {
            if (named.name != name) {
                continue;
            }
            std::uint64_t kilobytes = 0;
            if (!result.has(named.field) && parseKilobytes(line.substr(colon + 1), kilobytes)) {
                result.kilobytes[named.field] = kilobytes;
                result.presentMask |= 1U << named.field;
            }
            break;
        }
    }
    return result;
}

}  // namespace platform
