#pragma once

#include <chrono>
#include <functional>
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

// Makes a pipe whose two ends are closed on exec, in one step where the system can, so that a
// program started meanwhile by another thread never holds an end. False when none could be made.
bool makeClosedOnExecPipe(int ends[2]);

// Waits until `descriptor` has something to read or `limit` has passed, whatever signals arrive
// meanwhile: the wait of a caller with no events of its own to serve. A descriptor below 0 is
// never readable: the wait is then a plain sleep.
void pollReadable(int descriptor, std::chrono::milliseconds limit);

// How a caller waits: returns once `descriptor` has something to read or `limit` has passed (or
// sooner, when the caller has reason to stop waiting), the caller's own events served meanwhile;
// false when the caller has reason to stop waiting. A descriptor below 0 is never readable.
using ReadableWait = std::function<bool(int descriptor, std::chrono::milliseconds limit)>;

// Waits until the process has ended, for at most `limit`; true when it has, with its exit
// status in `exitStatus` where given (-1 for one ended by a signal, or not ours). A thread of its
// own waits for the end and wakes the caller's wait through a pipe; without a pipe or a thread
// (a system short of descriptors or threads), the caller looks every few milliseconds within the
// same limit. A process still running when the wait is over is reaped once it ends, by that
// thread or, without one, by a later wait, so that it leaves no zombie.
bool waitForProcess(int processId, std::chrono::milliseconds limit, int* exitStatus = nullptr,
                    const ReadableWait& waitForReadable = {});

// Starts the program as root's program and waits for it as waitForProcess does, for at most
// `limit`; one that ends with a status but 0 did not do its work, unless it says that its work
// still goes on (kToolStillWorkingStatus).
ToolRun runProcess(const std::string& path, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds limit, const ReadableWait& waitForReadable = {});

}  // namespace platform::posix
