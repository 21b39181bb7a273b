#include "SpawnedProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace platform::posix {

namespace {

// The process's exit, once it comes; false when there is no such child of ours.
bool reap(int processId, int options, bool& ended, int* exitStatus = nullptr) {
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(processId, &status, options);
    } while (result < 0 && errno == EINTR);
    ended = result != 0;
    if (exitStatus != nullptr) {
        *exitStatus = result > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return result >= 0;
}

using Milliseconds = std::chrono::milliseconds;

// What the thread that reaps a process tells of its end.
struct End {
    std::atomic<bool> reaped{false};
    std::atomic<int> status{-1};
};

// Reaps the process once it ends, on a thread of its own that then tells its end through `end`
// (where given) and closes `wake` (where given); false when no thread could be had.
bool reapOnAThreadOfItsOwn(int processId, const std::shared_ptr<End>& end, int wake) {
    try {
        std::thread([processId, end, wake] {
            int status = -1;
            bool reaped = false;
            reap(processId, 0, reaped, &status);
            if (end != nullptr) {
                end->status = status;
                end->reaped = true;
            }
            if (wake >= 0) {
                ::close(wake);
            }
        }).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// Looks whether the process has ended every few milliseconds, until `limit` has passed or the
// caller's wait says to stop; true once it has, with its exit status.
bool lookUntilEnded(int processId, Milliseconds limit, int* exitStatus, const ReadableWait& wait) {
    constexpr Milliseconds kBetweenLooks{10};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        bool ended = false;
        if (!reap(processId, WNOHANG, ended, exitStatus) || ended) {
            return true;
        }
        const auto left =
            std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !wait(-1, std::min(left, kBetweenLooks))) {
            return false;
        }
    }
}

// Processes that outlived their wait when no thread could be had to reap them: each later wait
// reaps those that have ended since.
std::mutex leftBehindLock;
std::vector<int> leftBehindProcesses;

void leaveBehind(int processId) {
    const std::lock_guard<std::mutex> guard(leftBehindLock);
    leftBehindProcesses.push_back(processId);
}

void reapLeftBehind() {
    const std::lock_guard<std::mutex> guard(leftBehindLock);
    leftBehindProcesses.erase(std::remove_if(leftBehindProcesses.begin(), leftBehindProcesses.end(),
                                             [](int processId) {
                                                 bool ended = false;
                                                 return !reap(processId, WNOHANG, ended) || ended;
                                             }),
                              leftBehindProcesses.end());
}

// Every descriptor but 0-2 stays behind, whether or not it was opened close-on-exec.
bool keepStandardStreamsAlone(posix_spawn_file_actions_t& actions, short& flags,
                              bool streamsGiven) {
#if defined(__APPLE__)
    // Closed unless named in the file actions: name the streams that are not given.
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if ((!streamsGiven || stream == STDERR_FILENO) &&
            ::posix_spawn_file_actions_addinherit_np(&actions, stream) != 0) {
            return false;
        }
    }
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
    return true;
#else
    (void)flags;
    (void)streamsGiven;
    return ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
#endif
}

// Every signal as the system defines it, none blocked, whatever this process ignores or blocks
// (a child with SIGCHLD ignored would lose the ends of its own children).
bool defaultSignals(posix_spawnattr_t& attributes, short& flags) {
    sigset_t all;
    sigset_t none;
    if (::sigfillset(&all) != 0 || ::sigemptyset(&none) != 0 ||
        ::posix_spawnattr_setsigdefault(&attributes, &all) != 0 ||
        ::posix_spawnattr_setsigmask(&attributes, &none) != 0) {
        return false;
    }
    flags |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    return true;
}

}  // namespace

const std::vector<std::string>& fixedEnvironment() {
    static const std::vector<std::string> environment = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
    return environment;
}

int spawnProcess(const std::string& path, const std::vector<std::string>& arguments,
                 Inheritance inheritance, int standardStreams) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    std::vector<char*> environment;
    if (inheritance == Inheritance::streamsAndFixedEnvironment) {
        for (const std::string& variable : fixedEnvironment()) {
            environment.push_back(const_cast<char*>(variable.c_str()));
        }
        environment.push_back(nullptr);
    }

    posix_spawn_file_actions_t streams;
    if (::posix_spawn_file_actions_init(&streams) != 0) {
        return -1;
    }
    posix_spawnattr_t attributes;
    if (::posix_spawnattr_init(&attributes) != 0) {
        ::posix_spawn_file_actions_destroy(&streams);
        return -1;
    }
    // The given streams first: closing the rest would close the descriptor they come from.
    const bool streamsGiven = standardStreams >= 0;
    short flags = 0;
    const bool prepared =
        (!streamsGiven ||
         (::posix_spawn_file_actions_adddup2(&streams, standardStreams, STDIN_FILENO) == 0 &&
          ::posix_spawn_file_actions_adddup2(&streams, standardStreams, STDOUT_FILENO) == 0)) &&
        keepStandardStreamsAlone(streams, flags, streamsGiven) &&
        defaultSignals(attributes, flags) && ::posix_spawnattr_setflags(&attributes, flags) == 0;
    pid_t processId = -1;
    const int spawned =
        prepared ? ::posix_spawn(&processId, path.c_str(), &streams, &attributes, argv.data(),
                                 environment.empty() ? environ : environment.data())
                 : -1;
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&streams);
    return spawned == 0 ? processId : -1;
}

void pollReadable(int descriptor, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd ready = {descriptor, POLLIN, 0};
    for (auto left = limit; left.count() > 0;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(
             deadline - std::chrono::steady_clock::now())) {
        if (::poll(&ready, 1, static_cast<int>(left.count())) >= 0 || errno != EINTR) {
            return;
        }
    }
}

bool makeClosedOnExecPipe(int ends[2]) {
#ifdef __linux__
    return ::pipe2(ends, O_CLOEXEC) == 0;
#else
    if (::pipe(ends) != 0) {
        return false;
    }
    for (int end = 0; end < 2; ++end) {
        ::fcntl(ends[end], F_SETFD, FD_CLOEXEC);
    }
    return true;
#endif
}

bool waitForProcess(int processId, std::chrono::milliseconds limit, int* exitStatus,
                    const ReadableWait& waitForReadable) {
    if (exitStatus != nullptr) {
        *exitStatus = -1;
    }
    reapLeftBehind();
    bool ended = false;
    if (processId <= 0 || !reap(processId, WNOHANG, ended, exitStatus) || ended) {
        return true;
    }
    const ReadableWait wait =
        waitForReadable ? waitForReadable : [](int descriptor, Milliseconds left) {
            pollReadable(descriptor, left);
            return true;
        };
    // Still running: the thread that reaps it closes its end of the pipe once it has, which
    // wakes the wait here.
    int ends[2] = {-1, -1};
    if (limit.count() > 0 && makeClosedOnExecPipe(ends)) {
        const auto end = std::make_shared<End>();
        if (reapOnAThreadOfItsOwn(processId, end, ends[1])) {
            wait(ends[0], limit);
            ::close(ends[0]);
            const bool reaped = end->reaped;
            if (reaped && exitStatus != nullptr) {
                *exitStatus = end->status;
            }
            return reaped;
        }
        ::close(ends[0]);
        ::close(ends[1]);
    }
    // No pipe or no thread to be had: a look now and then, within the same limit.
    if (lookUntilEnded(processId, limit, exitStatus, wait)) {
        return true;
    }
    if (!reapOnAThreadOfItsOwn(processId, nullptr, -1)) {
        leaveBehind(processId);
    }
    return false;
}

ToolRun runProcess(const std::string& path, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds limit, const ReadableWait& waitForReadable) {
    const int processId = spawnProcess(path, arguments, Inheritance::streamsAndFixedEnvironment);
    if (processId < 0) {
        return ToolRun::notStarted;
    }
    int exitStatus = -1;
    if (!waitForProcess(processId, limit, &exitStatus, waitForReadable)) {
        return ToolRun::stillRunning;
    }
    if (exitStatus == kToolStillWorkingStatus) {
        return ToolRun::stillRunning;
    }
    return exitStatus == 0 ? ToolRun::ended : ToolRun::failed;
}

}  // namespace platform::posix
