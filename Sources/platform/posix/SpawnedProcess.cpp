#include "SpawnedProcess.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace platform::posix {

int spawnProcess(const std::string& path, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t processId = -1;
    if (::posix_spawn(&processId, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    return processId;
}

void waitForProcess(int processId) {
    if (processId <= 0) {
        return;
    }
    int status = 0;
    while (::waitpid(processId, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace platform::posix
