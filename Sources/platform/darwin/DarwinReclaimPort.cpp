// The clean-up on macOS: the allocator's pressure relief and the system's memory_pressure tool,
// which only root may run to any effect: a program without root's rights has the privileged
// helper run it.

#include <malloc/malloc.h>
#include <unistd.h>

#include "../ReclaimPort.h"
#include "../posix/SpawnedProcess.h"
#include "../posix/TrustedProgram.h"
#include "../privileged/PrivilegedSession.h"

namespace platform {

namespace {

class DarwinReclaimPort final : public ReclaimPort {
  public:
    void relieveAllocator() override { ::malloc_zone_pressure_relief(nullptr, 0); }

    std::string memoryPressureTool() override { return "/usr/bin/memory_pressure"; }

    ToolRun runTool(const std::string& path, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit) override {
        if (::geteuid() != 0) {
            return privileged::toolRunOf(
                PrivilegedSession::shared().ask(std::string(privileged::kReclaimLine)));
        }
        const std::string trusted = posix::trustedForRoot(path);
        if (trusted.empty()) {
            return ToolRun::notStarted;
        }
        return posix::runProcess(trusted, arguments, limit);
    }
};

}  // namespace

std::unique_ptr<ReclaimPort> makeReclaimPort() {
    return std::make_unique<DarwinReclaimPort>();
}

}  // namespace platform
