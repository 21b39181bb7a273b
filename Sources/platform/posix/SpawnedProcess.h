#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "../ReclaimPort.h"

namespace platform::posix {

// What a started program is given besides its arguments.
enum class Inheritance {
    // Descriptors 0-2 alone, and a fixed minimal environment: for root's programs, which must
    // not see what an unprivileged caller left open or set.
    streamsAndFixedEnvironment,
    // Descriptors 0-2 alone, and this process's environment.
    streamsAndEnvironment,
};

// The environment root's programs run with.
const std::vector<std::string>& fixedEnvironment();

// Starts the program at `path` with posix_spawn (no shell, no PATH look-up), given descriptors
// 0-2 and nothing else, every signal's default disposition and an empty signal mask: standard input
// and output are this process's own, or, when `standardStreams` is given, that one descriptor for
// both. Its process id, or -1.
int spawnProcess(const std::string& path, const std::vector<std::string>& arguments,
                 Inheritance inheritance, int standardStreams = -1);

// Waits until the process has ended, for at most `limit`; true when it has, with its exit
// status in `exitStatus` where given (-1 for one ended by a signal, or not ours). A process still
// running then is reaped by a thread of its own once it ends, so that it leaves no zombie.
bool waitForProcess(int processId, std::chrono::milliseconds limit, int* exitStatus = nullptr);

// Starts the program as root's program and waits for it, for at most `limit`; one that ends
// with a status but 0 did not do its work, unless it says that its work still goes on
// (kToolStillWorkingStatus).
ToolRun runProcess(const std::string& path, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds limit);

}  // namespace platform::posix
