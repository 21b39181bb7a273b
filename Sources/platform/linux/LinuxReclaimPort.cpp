// The clean-up on Linux: glibc's malloc_trim and our memory-pressure stand-in, installed beside
// the program. Only root's run of the stand-in frees memory that is not the caller's own, so a
// program without root's rights has the privileged helper run it.

#include <malloc.h>
#include <unistd.h>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../ReclaimPort.h"
#include "../posix/RealPath.h"
#include "../privileged/PrivilegedSession.h"

namespace platform {

namespace {

constexpr const char* kToolName = "quorvel-memory-pressure";

class LinuxReclaimPort final : public ReclaimPort {
  public:
    void relieveAllocator() override { ::malloc_trim(0); }

    // Beside this program; for the helper, installed in <prefix>/libexec/quorvel-legacy, beside
    // the program in <prefix>/bin.
    std::string memoryPressureTool() override {
        const std::string program = posix::realPath("/proc/self/exe");
        if (program.empty()) {
            return {};
        }
        const std::string folder = program.substr(0, program.rfind('/') + 1);
        const std::string beside = folder + kToolName;
        const std::string ofTheProgram = folder + "../../bin/" + kToolName;
        return ::access(beside.c_str(), F_OK) == 0 || ::access(ofTheProgram.c_str(), F_OK) != 0
                   ? beside
                   : ofTheProgram;
    }

    ToolRun runTool(const std::string& path, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit) override {
        return runToolWithRootsRights(path, arguments, limit);
    }
};

}  // namespace

std::unique_ptr<ReclaimPort> makeReclaimPort() {
    return std::make_unique<LinuxReclaimPort>();
}

}  // namespace platform
