// The privileged helper on macOS: started with the administrator authorization of the Security
// framework, from /Library/PrivilegedHelperTools, where the installer package puts it and only
// root can put a file (the bundle's own folder, /Applications, is the admin group's, so any
// process of an administrator could swap the bundle while the dialog is up). The session calls
// this on a thread of its own, so the window keeps drawing while the system's dialog is up; the
// helper is forked as this process's child and tells its process id in its first line, so that
// the session reaps it. A child the authorization forked that never became a helper (its call
// failed after the fork, or the helper ended before its first line) is found among this
// process's children and reaped too.

#include <Security/Authorization.h>
#include <Security/AuthorizationTags.h>
#include <libproc.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../posix/SpawnedProcess.h"
#include "../posix/TrustedProgram.h"
#include "../privileged/PrivilegedSession.h"

namespace platform {

namespace {

// Root's, written by nobody else, in folders of root's that nobody else may write up to "/".
constexpr const char* kInstalledHelper = "/Library/PrivilegedHelperTools/org.quorvel.legacy.helper";

// This process's children, in order.
std::vector<int> childProcesses() {
    std::vector<int> children(256, 0);
    const int count = ::proc_listchildpids(::getpid(), children.data(),
                                           static_cast<int>(children.size() * sizeof(int)));
    children.resize(static_cast<std::size_t>(std::clamp(count, 0, 256)));
    children.erase(std::remove_if(children.begin(), children.end(), [](int id) { return id <= 0; }),
                   children.end());
    std::sort(children.begin(), children.end());
    return children;
}

// The child that came between two looks at this process's children, or -1.
int newChild(const std::vector<int>& before) {
    std::vector<int> added;
    const std::vector<int> after = childProcesses();
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    return added.size() == 1 ? added.front() : -1;
}

class AuthorizationHelperLauncher final : public HelperLauncher {
  public:
    std::optional<HelperChannel> launch() override {
        // No dialog at all for a helper that is not there (a bundle copied from the archive),
        // or that anybody but root could have replaced.
        const std::string helper = posix::trustedForRoot(kInstalledHelper);
        if (helper.empty() || ::access(helper.c_str(), X_OK) != 0) {
            return std::nullopt;
        }
        AuthorizationRef authorization = nullptr;
        if (::AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment,
                                  kAuthorizationFlagDefaults,
                                  &authorization) != errAuthorizationSuccess) {
            return std::nullopt;
        }
        // The system's administrator dialog; refused or cancelled, nothing is started.
        AuthorizationItem execute = {kAuthorizationRightExecute, 0, nullptr, 0};
        const AuthorizationRights rights = {1, &execute};
        const AuthorizationFlags flags =
            kAuthorizationFlagDefaults | kAuthorizationFlagInteractionAllowed |
            kAuthorizationFlagPreAuthorize | kAuthorizationFlagExtendRights;
        FILE* pipe = nullptr;
        OSStatus status = ::AuthorizationCopyRights(authorization, &rights,
                                                    kAuthorizationEmptyEnvironment, flags, nullptr);
        const std::vector<int> children = childProcesses();
        if (status == errAuthorizationSuccess) {
            char* const arguments[] = {nullptr};
            // Deprecated, yet present on every macOS this program runs on, and the one way to
            // start a tool as root without installing a launchd service.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            status = ::AuthorizationExecuteWithPrivileges(
                authorization, helper.c_str(), kAuthorizationFlagDefaults, arguments, &pipe);
#pragma GCC diagnostic pop
        }
        ::AuthorizationFree(authorization, kAuthorizationFlagDefaults);
        // The helper, as this process's child; the session reaps it once it ends.
        const int helperProcess = newChild(children);
        if (status != errAuthorizationSuccess || pipe == nullptr) {
            posix::waitForProcess(helperProcess, std::chrono::milliseconds(0));
            return std::nullopt;
        }
        // The pipe carries the helper's standard input and output both ways.
        const int descriptor = ::dup(::fileno(pipe));
        std::fclose(pipe);
        if (descriptor < 0) {
            posix::waitForProcess(helperProcess, std::chrono::milliseconds(0));
            return std::nullopt;
        }
        const int noSignal = 1;
        ::setsockopt(descriptor, SOL_SOCKET, SO_NOSIGPIPE, &noSignal, sizeof noSignal);
        return HelperChannel{descriptor, helperProcess};
    }
};

}  // namespace

std::unique_ptr<HelperLauncher> makeHelperLauncher() {
    return std::make_unique<AuthorizationHelperLauncher>();
}

}  // namespace platform
