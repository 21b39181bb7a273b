// The clean-up on macOS: the allocator's pressure relief and the system's memory_pressure tool.

#include <malloc/malloc.h>

#include "../ReclaimPort.h"
#include "../posix/SpawnedProcess.h"

namespace platform {

namespace {

class DarwinReclaimPort final : public ReclaimPort {
  public:
    void relieveAllocator() override { ::malloc_zone_pressure_relief(nullptr, 0); }

    std::string memoryPressureTool() override { return "/usr/bin/memory_pressure"; }

    int spawn(const std::string& path, const std::vector<std::string>& arguments) override {
        return posix::spawnProcess(path, arguments);
    }

    bool waitForExit(int processId, std::chrono::milliseconds limit) override {
        return posix::waitForProcess(processId, limit);
    }
};

}  // namespace

std::unique_ptr<ReclaimPort> makeReclaimPort() {
    return std::make_unique<DarwinReclaimPort>();
}

}  // namespace platform
