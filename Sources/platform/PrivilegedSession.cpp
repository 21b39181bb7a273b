#include "PrivilegedSession.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "posix/SpawnedProcess.h"

namespace platform {

namespace {

constexpr int kPollMilliseconds = 30;

std::function<void()>& whileWaiting() {
    static std::function<void()> keepAlive;
    return keepAlive;
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
    if (!channel_) {
        channel_ = launcher_->launch();
        if (!channel_) {
            return std::nullopt;
        }
        ++launches_;
        answeredBefore_ = false;
        lines_ = privileged::LineSplitter();
    }
    if (!privileged::sendAll(channel_->descriptor, request + "\n")) {
        drop();
        return std::nullopt;
    }
    auto answer = this->answer(answeredBefore_ ? answerLimit_ : authorizationLimit_);
    if (!answer) {
        drop();
        return std::nullopt;
    }
    answeredBefore_ = true;
    return answer;
}

std::optional<std::string> PrivilegedSession::answer(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[256];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{channel_->descriptor, POLLIN, 0};
        const int polled = ::poll(&ready, 1, kPollMilliseconds);
        if (polled < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (polled <= 0) {
            if (whileWaiting()) {
                whileWaiting()();
            }
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
            return lines.front();  // one answer a request; an overlong one is none
        }
    }
    return std::nullopt;
}

void PrivilegedSession::drop() {
    if (!channel_) {
        return;
    }
    ::close(channel_->descriptor);
    if (channel_->processId > 0) {
        // A launcher still waiting for the user's authorization is ours to end; a helper
        // already running as root ends by itself now that its input is closed.
        ::kill(channel_->processId, SIGTERM);
        posix::waitForProcess(channel_->processId, std::chrono::milliseconds(0));
    }
    channel_.reset();
}

}  // namespace platform
