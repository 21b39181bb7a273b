#pragma once

#include <cstdint>

namespace platform {
class MemoryProbe;
}

// One reading of the machine's memory figures, in bytes.
struct LegacyMemorySnapshot {
    std::uint64_t totalBytes = 0;
    std::uint64_t usedBytes = 0;
    std::uint64_t swapUsedBytes = 0;
    double usedPercent = 0.0;
};

// Memory statistics of this machine. Holds no state.
namespace LegacyMemory {

// Takes one reading of this machine; what cannot be read comes back as zero.
LegacyMemorySnapshot snapshot();

// Takes one reading through the given probe.
LegacyMemorySnapshot snapshot(platform::MemoryProbe& probe);

}  // namespace LegacyMemory
