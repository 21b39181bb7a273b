#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace platform::posix {

// Starts the program at `path` with posix_spawn (no shell, no PATH look-up), inheriting this
// process's environment and standard streams; its process id, or -1.
int spawnProcess(const std::string& path, const std::vector<std::string>& arguments);

// Waits until the process has ended, for at most `limit`; true when it has. A process still
// running then is reaped by a thread of its own once it ends, so that it leaves no zombie.
bool waitForProcess(int processId, std::chrono::milliseconds limit);

}  // namespace platform::posix
