#include "PrivilegedSession.h"

#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "../posix/SpawnedProcess.h"
#include "../posix/TrustedProgram.h"

namespace platform {

namespace {

PrivilegedSession::KeepAlive& keepAlive() {
    static PrivilegedSession::KeepAlive theKeepAlive;
    return theKeepAlive;
}

// Launch threads still running (nothing to destroy: a thread may outlive main).
std::atomic<int>& launchesUnderway() {
    static std::atomic<int> count{0};
    return count;
}

bool quitting() {
    return keepAlive().quitting && keepAlive().quitting();
}

// Waits until the descriptor has something to read, the limit has passed or the program quits;
// false once it quits.
bool waitForReadable(int descriptor, std::chrono::milliseconds limit) {
    if (keepAlive().wait) {
        keepAlive().wait(descriptor, limit);
    } else {
        posix::pollReadable(descriptor, limit);
    }
    return !quitting();
}

bool readable(int descriptor) {
    pollfd ready{descriptor, POLLIN, 0};
    return ::poll(&ready, 1, 0) > 0;  // readable, at its end, or in error: a read tells
}

// Ends what a channel leads to: its descriptor closed, so that a helper running as root ends by
// itself; a launcher still waiting for the user's authorization ended, as ours to end; and both
// reaped once they end.
void endChannel(const HelperChannel& channel, int helperProcessId) {
    ::close(channel.descriptor);
    if (channel.processId > 0) {
        ::kill(channel.processId, SIGTERM);
        posix::waitForProcess(channel.processId, std::chrono::milliseconds(0));
    }
    if (helperProcessId > 0 && helperProcessId != channel.processId) {
        // Started by the system on our behalf (macOS), and so our child to reap once it ends.
        posix::waitForProcess(helperProcessId, std::chrono::milliseconds(0));
    }
}

// A launch on a thread of its own, which tells its end through a pipe that the waiting thread
// watches. Given up (the program quits while the user is still asked), its channel is ended as
// soon as it returns.
struct Launch {
    std::mutex lock;
    std::optional<HelperChannel> channel;
    bool done = false;
    bool givenUp = false;
    int ends[2] = {-1, -1};
};

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

bool PrivilegedSession::launchUnderway() {
    return launchesUnderway().load() > 0;
}

void PrivilegedSession::setKeepAlive(KeepAlive keepAlive) {
    platform::keepAlive() = std::move(keepAlive);
}

std::optional<std::string> PrivilegedSession::ask(const std::string& request) {
    if (asking_.load() == std::this_thread::get_id()) {
        return std::nullopt;  // from within a wait of this very call: it would wait for itself
    }
    std::lock_guard<std::mutex> guard(lock_);
    asking_ = std::this_thread::get_id();
    struct Leaving {
        std::atomic<std::thread::id>& asking;
        ~Leaving() { asking = std::thread::id(); }
    } leaving{asking_};

    if (channel_ && privileged::peerHungUp(channel_->descriptor, channel_->descriptor)) {
        drop();  // gone since its last answer (ended, killed): a new one takes this request
    }
    for (;;) {
        // Nothing is sent once the program is quitting; a helper started here has said that it
        // is ready, which it can only have done before the program began to quit.
        if (quitting()) {
            drop();
            return std::string(privileged::kNoAnswer);
        }
        const bool fresh = !channel_;
        if (fresh && !start()) {
            return quitting() ? std::optional<std::string>(privileged::kNoAnswer) : std::nullopt;
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
    const auto first = line(authorizationLimit_);
    const auto ready = first ? privileged::parseReady(*first) : std::nullopt;
    if (ready) {
        helperProcessId_ = ready->processId;
    }
    // A helper of another version (an older package left in place) may not check what this
    // program sends as it should: it is not used.
    if (!ready || ready->version != privileged::version()) {
        drop();
        return false;
    }
    return true;
}

// The launcher may wait for the user's authorization (macOS asks before it starts anything), so
// it runs on a thread of its own while this one keeps the window alive. The program may quit
// meanwhile: the thread is then left to end by itself, and ends what it started.
std::optional<HelperChannel> PrivilegedSession::launchWhileKeepingAlive() {
    auto launch = std::make_shared<Launch>();
    if (!posix::makeClosedOnExecPipe(launch->ends)) {
        return std::nullopt;
    }
    ++launchesUnderway();
    try {
        std::thread([launcher = launcher_, launch] {
            auto channel = launcher->launch();
            std::lock_guard<std::mutex> guard(launch->lock);
            if (launch->givenUp && channel) {
                endChannel(*channel, -1);
            }
            launch->channel = channel;
            launch->done = true;
            ::close(launch->ends[1]);  // wakes the waiting thread
            --launchesUnderway();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: no helper either, as when none can be started.
        --launchesUnderway();
        ::close(launch->ends[0]);
        ::close(launch->ends[1]);
        return std::nullopt;
    }

    for (;;) {
        {
            std::lock_guard<std::mutex> guard(launch->lock);
            if (launch->done || quitting()) {
                launch->givenUp = !launch->done;
                ::close(launch->ends[0]);
                return launch->done ? launch->channel : std::nullopt;
            }
        }
        waitForReadable(launch->ends[0], authorizationLimit_);
    }
}

// The helper's next line, within `limit`; nothing when it is gone, silent, or its line too long,
// or when the program quits meanwhile.
std::optional<std::string> PrivilegedSession::line(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[256];
    for (;;) {
        if (quitting()) {
            return std::nullopt;
        }
        if (!readable(channel_->descriptor)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            waitForReadable(channel_->descriptor, left);
            continue;
        }
        const ssize_t n = ::read(channel_->descriptor, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
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
}

void PrivilegedSession::drop() {
    if (!channel_) {
        return;
    }
    endChannel(*channel_, helperProcessId_);
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
    // Waited for as an answer of the helper is: the window keeps drawing, what the user does
    // meanwhile is dropped, and closing it ends the wait.
    return posix::runProcess(trusted, arguments, limit, waitForReadable);
}

}  // namespace platform
