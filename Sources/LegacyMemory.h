#pragma once

#include <chrono>
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

// How a clean-up ended.
enum class LegacyReclaimOutcome {
    toolEnded,         // the memory-pressure tool ran to its end
    toolNotStarted,    // the tool could not be started
    toolStillRunning,  // the tool had not ended when the wait for it gave up
    toolFailed,        // the tool ended without doing its work, or its helper never answered
    notPermitted       // this process lacks the rights to run it, and no helper ran it
};

// Memory statistics of this machine. Holds no state.
namespace LegacyMemory {

// Takes one reading of this machine; what cannot be read comes back as zero.
LegacyMemorySnapshot snapshot();

// Takes one reading through the given probe.
LegacyMemorySnapshot snapshot(platform::MemoryProbe& probe);

// How long a clean-up waits for the memory-pressure tool: its own three seconds and a margin.
constexpr std::chrono::milliseconds kMemoryPressureToolLimit{10000};

// Asks the allocator to give memory back, then runs the memory-pressure tool and waits until
// it has ended, or for `limit` at most: a tool that hangs (a sync on a dead mount) must not
// hold the window. A tool that cannot be started ends the clean-up at once.
LegacyReclaimOutcome reclaim();
LegacyReclaimOutcome reclaim(platform::ReclaimPort& port,
                             std::chrono::milliseconds limit = kMemoryPressureToolLimit);

// The arguments of the memory-pressure tool: a simulated critical pressure for three seconds.
const std::vector<std::string>& memoryPressureArguments();

}  // namespace LegacyMemory
