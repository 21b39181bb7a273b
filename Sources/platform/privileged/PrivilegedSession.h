#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PrivilegedProtocol.h"

namespace platform {

// A running privileged helper: one descriptor that carries requests to its standard input and
// answers from its standard output, and the id of the process the launcher started where it
// knows it (else -1; the helper then tells it in its first line).
struct HelperChannel {
    int descriptor = -1;
    int processId = -1;
};

// Starts the privileged helper the way the system grants a program root's rights.
class HelperLauncher {
  public:
    virtual ~HelperLauncher() = default;
    // Starts the helper, asking the user to authorize it where the system does; nothing when
    // there is no trustworthy helper to start or it cannot be started. Authorization refused or
    // cancelled shows as a channel that closes without an answer. Called on a thread of its own,
    // so it may wait for the user for as long as the system's dialog is up.
    virtual std::optional<HelperChannel> launch() = 0;
};

// The launcher of this system: pkexec on Linux, the administrator authorization of macOS.
std::unique_ptr<HelperLauncher> makeHelperLauncher();

// The program's one session with the privileged helper: started on first need and kept for
// the rest of the run, so that the user authorizes at most once. A session that fails (refused,
// cancelled, a helper gone or silent too long) is dropped, its helper reaped once it ends, and
// the next need starts another; a helper found gone before a request is sent is started again
// for that same request. Once the program is quitting, nothing more is sent: a wait under way
// ends, the channel is closed (the helper ends without acting) and a launcher still waiting for
// the user's authorization is ended, or, where it cannot be, closed once it returns.
class PrivilegedSession {
  public:
    // How long the first answer of a new helper may take (the user's authorization comes first),
    // and how long any later one may.
    static constexpr std::chrono::milliseconds kAuthorizationLimit{5 * 60 * 1000};
    static constexpr std::chrono::milliseconds kAnswerLimit{30 * 1000};

    explicit PrivilegedSession(std::unique_ptr<HelperLauncher> launcher,
                               std::chrono::milliseconds authorizationLimit = kAuthorizationLimit,
                               std::chrono::milliseconds answerLimit = kAnswerLimit);
    // Closes the channel: the helper ends when its input closes.
    ~PrivilegedSession();
    PrivilegedSession(const PrivilegedSession&) = delete;
    PrivilegedSession& operator=(const PrivilegedSession&) = delete;

    // The session of this process, over this system's launcher.
    static PrivilegedSession& shared();

    // Sends one request line (without its line end) and returns the helper's answer. Nothing
    // when no helper was authorized to answer (none there, refused, cancelled), or when called
    // again from within a wait of its own (the keep-alive's event loop); kNoAnswer when the
    // helper, authorized, gave no answer in time or went away before it answered, and when the
    // program is quitting.
    std::optional<std::string> ask(const std::string& request);

    // How many helpers this session has started.
    int launches() const { return launches_; }

    // How the program keeps its window alive while a helper starts or an answer is awaited (the
    // user may be typing a password); set once, before the first request.
    struct KeepAlive {
        // Returns once `descriptor` has something to read, `limit` has passed or the program is
        // quitting, the window drawing and answering meanwhile: woken by what arrives, not by a
        // timer. Without one, the wait is a plain poll.
        std::function<void(int descriptor, std::chrono::milliseconds limit)> wait;
        // Whether the program is on its way out.
        std::function<bool()> quitting;
    };
    static void setKeepAlive(KeepAlive keepAlive);

    // Whether a launch given up on is still under way on its thread, inside the system's
    // authorization: the program then ends without running the statics' destructors, which
    // would pull the libraries out from under that thread.
    static bool launchUnderway();

  private:
    bool start();
    std::optional<HelperChannel> launchWhileKeepingAlive();
    std::optional<std::string> line(std::chrono::milliseconds limit);
    void drop();

    std::shared_ptr<HelperLauncher> launcher_;
    std::chrono::milliseconds authorizationLimit_;
    std::chrono::milliseconds answerLimit_;
    std::optional<HelperChannel> channel_;
    int helperProcessId_ = -1;  // as the helper told it
    int launches_ = 0;
    privileged::LineSplitter lines_;
    std::mutex lock_;
    std::atomic<std::thread::id> asking_{};  // the thread inside ask(), if any
};

// Runs the memory-pressure tool at `path` with root's rights and waits for it, for at most
// `limit`: as root, only a tool that nobody but root could have replaced, by the very path that
// was checked; otherwise the privileged helper runs it. Either is waited for through the
// keep-alive: the window stays alive meanwhile, and its closing ends the wait.
ToolRun runToolWithRootsRights(const std::string& path, const std::vector<std::string>& arguments,
                               std::chrono::milliseconds limit);

}  // namespace platform
