// The clean-up on Linux: glibc's malloc_trim and our memory-pressure stand-in, which is
// installed beside the program.

#include <malloc.h>
#include <unistd.h>

#include "../ReclaimPort.h"
#include "../posix/SpawnedProcess.h"

namespace platform {

namespace {

constexpr const char* kToolName = "quorvel-memory-pressure";

class LinuxReclaimPort final : public ReclaimPort {
  public:
    void relieveAllocator() override { ::malloc_trim(0); }

    std::string memoryPressureTool() override {
        char self[4096];
        const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0) {
            return {};
        }
        const std::string program(self, static_cast<std::size_t>(length));
        const std::size_t slash = program.rfind('/');
        return slash == std::string::npos ? std::string()
                                          : program.substr(0, slash + 1) + kToolName;
    }

    int spawn(const std::string& path, const std::vector<std::string>& arguments) override {
        return path.empty() ? -1 : posix::spawnProcess(path, arguments);
    }

    bool waitForExit(int processId, std::chrono::milliseconds limit) override {
        return posix::waitForProcess(processId, limit);
    }
};

}  // namespace

std::unique_ptr<ReclaimPort> makeReclaimPort() {
    return std::make_unique<LinuxReclaimPort>();
}

}  // namespace platform
