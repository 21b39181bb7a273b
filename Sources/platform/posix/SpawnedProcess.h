#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "../ReclaimPort.h"

namespace platform::posix {

// Starts the program at `path` with posix_spawn (no shell, no PATH look-up), inheriting this
// process's environment and standard error; standard input and output are this process's own,
// or, when `standardStreams` is given, that one descriptor for both. Its process id, or -1.
int spawnProcess(const std::string& path, const std::vector<std::string>& arguments,
                 int standardStreams = -1);

// Waits until the process has ended, for at most `limit`; true when it has. A process still
// running then is reaped by a thread of its own once it ends, so that it leaves no zombie.
bool waitForProcess(int processId, std::chrono::milliseconds limit);

// Starts the program and waits for it, for at most `limit`.
ToolRun runProcess(const std::string& path, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds limit);

}  // namespace platform::posix
