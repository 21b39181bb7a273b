#include "LegacyMemory.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/MemoryProbe.h"
#include "platform/ReclaimPort.h"

namespace LegacyMemory {

LegacyMemorySnapshot snapshot() {
    auto probe = platform::makeMemoryProbe();
    return snapshot(*probe);
}

LegacyMemorySnapshot snapshot(platform::MemoryProbe& probe) {
    const int reportedPageSize = probe.pageSize();
    const std::uint64_t pageSize =
        reportedPageSize > 0 ? static_cast<std::uint64_t>(reportedPageSize) : 0;

    LegacyMemorySnapshot result;
    result.totalBytes = probe.physicalMemory();

    std::array<std::uint32_t, platform::kHostVmInfo64Count> vmStatistics{};
    std::uint32_t count = platform::kHostVmInfo64Count;
    if (probe.hostStatistics64(platform::kHostVmInfo64, vmStatistics.data(), &count) != 0) {
        return result;
    }

    const std::uint64_t usedPages = std::uint64_t{vmStatistics[platform::kActiveCountWord]} +
                                    std::uint64_t{vmStatistics[platform::kWireCountWord]} +
                                    std::uint64_t{vmStatistics[platform::kCompressorPageCountWord]};
    result.usedBytes = usedPages * pageSize;

    const int swapUsageName[2] = {platform::kCtlVm, platform::kVmSwapUsage};
    platform::XswUsage swapUsage{};
    std::size_t swapUsageLength = sizeof swapUsage;
    if (probe.sysctl(swapUsageName, 2, &swapUsage, &swapUsageLength, nullptr, 0) == 0) {
        result.swapUsedBytes = swapUsage.xsu_used;
    }

    if (result.totalBytes != 0) {
        result.usedPercent =
            static_cast<double>(result.usedBytes) / static_cast<double>(result.totalBytes) * 100.0;
    }
    return result;
}

LegacyReclaimOutcome reclaim() {
    auto port = platform::makeReclaimPort();
    return reclaim(*port);
}

LegacyReclaimOutcome reclaim(platform::ReclaimPort& port, std::chrono::milliseconds limit) {
    port.relieveAllocator();
    switch (port.runTool(port.memoryPressureTool(), memoryPressureArguments(), limit)) {
        case platform::ToolRun::ended:
            return LegacyReclaimOutcome::toolEnded;
        case platform::ToolRun::notStarted:
            return LegacyReclaimOutcome::toolNotStarted;
        case platform::ToolRun::stillRunning:
            return LegacyReclaimOutcome::toolStillRunning;
        case platform::ToolRun::failed:
            return LegacyReclaimOutcome::toolFailed;
        case platform::ToolRun::notPermitted:
            break;
    }
    return LegacyReclaimOutcome::notPermitted;
}

const std::vector<std::string>& memoryPressureArguments() {
    static const std::vector<std::string> arguments = {"-S", "-l", "critical", "-s", "3"};
    return arguments;
}

}  // namespace LegacyMemory
