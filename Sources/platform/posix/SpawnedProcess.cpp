#include "SpawnedProcess.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace platform::posix {

namespace {

// How often a wait looks whether the process has ended.
constexpr std::chrono::milliseconds kPollInterval{5};

// The process's exit, once it comes; false when there is no such child of ours.
bool reap(int processId, int options, bool& ended) {
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(processId, &status, options);
    } while (result < 0 && errno == EINTR);
    ended = result != 0;
    return result >= 0;
}

}  // namespace

int spawnProcess(const std::string& path, const std::vector<std::string>& arguments,
                 int standardStreams) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t streams;
    if (::posix_spawn_file_actions_init(&streams) != 0) {
        return -1;
    }
    if (standardStreams >= 0) {
        ::posix_spawn_file_actions_adddup2(&streams, standardStreams, STDIN_FILENO);
        ::posix_spawn_file_actions_adddup2(&streams, standardStreams, STDOUT_FILENO);
    }
    pid_t processId = -1;
    const int spawned =
        ::posix_spawn(&processId, path.c_str(), &streams, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&streams);
    return spawned == 0 ? processId : -1;
}

bool waitForProcess(int processId, std::chrono::milliseconds limit) {
    if (processId <= 0) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool ended = false;
    while (reap(processId, WNOHANG, ended) && !ended) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::thread([processId] {
                bool reaped = false;
                reap(processId, 0, reaped);
            }).detach();
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

ToolRun runProcess(const std::string& path, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds limit) {
    const int processId = spawnProcess(path, arguments);
    if (processId < 0) {
        return ToolRun::notStarted;
    }
    return waitForProcess(processId, limit) ? ToolRun::ended : ToolRun::stillRunning;
}

}  // namespace platform::posix
