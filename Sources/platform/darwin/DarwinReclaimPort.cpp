// The clean-up on macOS: the allocator's pressure relief and the system's memory_pressure tool,
// which only root may run to any effect: a program without root's rights has the privileged
// helper run it.

#include <malloc/malloc.h>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../ReclaimPort.h"
#include "../privileged/PrivilegedSession.h"

namespace platform {

namespace {

class DarwinReclaimPort final : public ReclaimPort {
  public:
    void relieveAllocator() override { ::malloc_zone_pressure_relief(nullptr, 0); }

    std::string memoryPressureTool() override { return "/usr/bin/memory_pressure"; }

    ToolRun runTool(const std::string& path, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit) override {
        return runToolWithRootsRights(path, arguments, limit);
    }
};

}  // namespace

std::unique_ptr<ReclaimPort> makeReclaimPort() {
    return std::make_unique<DarwinReclaimPort>();
}

}  // namespace platform
