#pragma once

#include <string>
#include <vector>

namespace platform::posix {

// Starts the program at `path` with posix_spawn (no shell, no PATH look-up), inheriting this
// process's environment and standard streams; its process id, or -1.
int spawnProcess(const std::string& path, const std::vector<std::string>& arguments);

// Waits with waitpid until the process has ended.
void waitForProcess(int processId);

}  // namespace platform::posix
