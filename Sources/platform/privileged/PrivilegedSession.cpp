#include "PrivilegedSession.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <future>

#include "../posix/SpawnedProcess.h"
#include "../posix/TrustedProgram.h"

namespace platform {

namespace {

constexpr std::chrono::milliseconds kPollInterval{30};

std::function<void()>& whileWaiting() {
    static std::function<void()> keepAlive;
    return keepAlive;
}

void keepAlive() {
    if (whileWaiting()) {
        whileWaiting()();
    }
}

}  // namespace

PrivilegedSession::PrivilegedSession(std::unique_ptr<HelperLauncher> launcher,
                                     std::chrono::milliseconds authorizationLimit,
                                     std::chrono::milliseconds answerLimit)
    : launcher_(std::move(launcher)),
      authorizationLimit_(authorizationLimit),
      answerLimit_(answerLimit) {}

PrivilegedSession::~PrivilegedSession() {
    // At the end of the run: the helper ends once it sees its input closed.
    if (channel_) {
        ::close(channel_->descriptor);
    }
}

PrivilegedSession& PrivilegedSession::shared() {
    static PrivilegedSession session(makeHelperLauncher());
    return session;
}

void PrivilegedSession::setWhileWaiting(std::function<void()> keepAlive) {
    whileWaiting() = std::move(keepAlive);
}

std::optional<std::string> PrivilegedSession::ask(const std::string& request) {
    std::lock_guard<std::mutex> guard(lock_);
    if (channel_ && privileged::peerHungUp(channel_->descriptor, channel_->descriptor)) {
        drop();  // gone since its last answer (ended, killed): a new one takes this request
    }
    for (;;) {
        const bool fresh = !channel_;
        if (fresh && !start()) {
            return std::nullopt;
        }
        if (privileged::sendAll(channel_->descriptor, request + "\n")) {
            break;
        }
        drop();
        if (fresh) {
            return std::string(privileged::kNoAnswer);
        }
    }
    auto answer = line(answerLimit_);
    if (!answer) {
        drop();
        return std::string(privileged::kNoAnswer);
    }
    return answer;
}

// Starts a helper and waits until it says it is ready: the user has authorized it.
bool PrivilegedSession::start() {
    channel_ = launchWhileKeepingAlive();
    if (!channel_) {
        return false;
    }
    ++launches_;
    helperProcessId_ = -1;
    lines_ = privileged::LineSplitter();
    const auto ready = line(authorizationLimit_);
    const auto processId = ready ? privileged::parseReady(*ready) : std::nullopt;
    if (!processId) {
        drop();
        return false;
    }
    helperProcessId_ = *processId;
    return true;
}

// The launcher may wait for the user's authorization (macOS asks before it starts anything), so
// it runs on a thread of its own while this one keeps the window alive.
std::optional<HelperChannel> PrivilegedSession::launchWhileKeepingAlive() {
    auto launching = std::async(std::launch::async, [this] { return launcher_->launch(); });
    while (launching.wait_for(kPollInterval) != std::future_status::ready) {
        keepAlive();
    }
    return launching.get();
}

// The helper's next line, within `limit`; nothing when it is gone, silent, or its line too long.
std::optional<std::string> PrivilegedSession::line(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[256];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{channel_->descriptor, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(kPollInterval.count()));
        if (polled < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (polled <= 0) {
            keepAlive();
            continue;
        }
        const ssize_t n = ::read(channel_->descriptor, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;  // the helper is gone, or was never authorized
        }
        const auto lines = lines_.take(std::string_view(buffer, static_cast<std::size_t>(n)));
        if (!lines.empty()) {
            return lines.front();  // one line at a time; an overlong one is none
        }
    }
    return std::nullopt;
}

void PrivilegedSession::drop() {
    if (!channel_) {
        return;
    }
    ::close(channel_->descriptor);
    const int launched = channel_->processId;
    if (launched > 0) {
        // A launcher still waiting for the user's authorization is ours to end; a helper
        // already running as root ends by itself now that its input is closed.
        ::kill(launched, SIGTERM);
        posix::waitForProcess(launched, std::chrono::milliseconds(0));
    }
    if (helperProcessId_ > 0 && helperProcessId_ != launched) {
        // Started by the system on our behalf (macOS), and so our child to reap once it ends.
        posix::waitForProcess(helperProcessId_, std::chrono::milliseconds(0));
    }
    helperProcessId_ = -1;
    channel_.reset();
}

ToolRun runToolWithRootsRights(const std::string& path, const std::vector<std::string>& arguments,
                               std::chrono::milliseconds limit) {
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

}  // namespace platform
