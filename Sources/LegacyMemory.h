#pragma once

#include <cstdint>

#include <string>
#include <vector>

namespace platform {
class MemoryProbe;
class ReclaimPort;
}  // namespace platform

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

// Asks the allocator to give memory back, then runs the memory-pressure tool and waits until
// it has ended. A tool that cannot be started ends the clean-up at once.
void reclaim();
void reclaim(platform::ReclaimPort& port);

// The arguments of the memory-pressure tool: a simulated critical pressure for three seconds.
const std::vector<std::string>& memoryPressureArguments();

}  // namespace LegacyMemory
