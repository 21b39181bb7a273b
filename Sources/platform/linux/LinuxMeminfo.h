#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// The figures of /proc/meminfo that the memory probe needs, in kB.
// A line that is missing, truncated or not a number leaves its figure absent.
struct LinuxMeminfo {
    enum Field : unsigned {
        MemTotal,
        Active,
        Unevictable,
        SUnreclaim,
        KernelStack,
        PageTables,
        Zswap,
        SwapTotal,
        SwapFree,
        FieldCount
    };

    std::uint64_t kilobytes[FieldCount] = {};
    unsigned presentMask = 0;

    bool has(Field field) const { return (presentMask >> field) & 1U; }
    // The figure in kB, or 0 when it is absent.
    std::uint64_t value(Field field) const { return has(field) ? kilobytes[field] : 0; }

    // Parses the text of /proc/meminfo. Lines it does not need are skipped; only lines
    // ending in a newline count, so a text cut off mid-line loses that line alone.
    static LinuxMeminfo parse(std::string_view text);
};

}  // namespace platform
