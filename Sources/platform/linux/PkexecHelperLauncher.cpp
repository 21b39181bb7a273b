// The privileged helper on Linux: started through pkexec, under the polkit action
// org.quorvel.legacy.helper, from its installed place beside the program's.

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include "../posix/RealPath.h"
#include "../posix/SpawnedProcess.h"
#include "../posix/TrustedProgram.h"
#include "../privileged/PrivilegedSession.h"

namespace platform {

namespace {

constexpr const char* kPkexec = "/usr/bin/pkexec";
// Where an install puts the helper, from the folder of the program (<prefix>/bin).
constexpr const char* kHelperFromProgram = "/../libexec/quorvel-legacy/quorvel-legacy-helper";

class PkexecHelperLauncher final : public HelperLauncher {
  public:
    std::optional<HelperChannel> launch() override {
        const std::string helper = posix::trustedForRoot(installedHelper());
        if (helper.empty() || ::access(kPkexec, X_OK) != 0) {
            return std::nullopt;
        }
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            return std::nullopt;
        }
        const int processId = posix::spawnProcess(
            kPkexec, {helper}, posix::Inheritance::streamsAndEnvironment, ends[1]);
        ::close(ends[1]);
        if (processId < 0) {
            ::close(ends[0]);
            return std::nullopt;
        }
        return HelperChannel{ends[0], processId};
    }

  private:
    // The helper's installed place relative to this program; empty when this program's own
    // path is unknown.
    static std::string installedHelper() {
        const std::string program = posix::realPath("/proc/self/exe");
        if (program.empty()) {
            return {};
        }
        return program.substr(0, program.rfind('/')) + kHelperFromProgram;
    }
};

}  // namespace

std::unique_ptr<HelperLauncher> makeHelperLauncher() {
    return std::make_unique<PkexecHelperLauncher>();
}

}  // namespace platform
