#pragma once

#include <functional>
#include <string>

// The work of the memory-pressure tool that can be told apart from the machine it runs on.
namespace memory_pressure {

// How a run of the tool ended: its exit status.
enum Status : int {
    kDone = 0,
    kUsage = 64,         // arguments it does not take
    kUnavailable = 69,   // the kernel cannot be asked for page cache alone: nothing was asked
    kFailed = 74,        // the kernel refused what it was asked, or the work could not begin
    kBusy = 75,          // an earlier run's work is still going on: nothing new was started
    kStillWorking = 80,  // the seconds are up and the work still goes on: not done, not failed
};

// What root's runs lock for as long as their work goes on: a file only root can open, so that
// nobody else can hold it and so stop every clean-up.
constexpr const char* kRootLock = "/run/quorvel-memory-pressure.lock";

// The lock of a run of this user: root's own, or one in the user's runtime folder, which only
// that user may enter; empty for a user without one, whose runs lock nothing (they reclaim
// only their own cgroup, and nobody else can hold them up).
std::string lockOfThisUser();

// Writes a text into a file of the kernel in one write; 0, or the errno of the failure.
using KernelWrite = std::function<int(const std::string& path, const std::string& text)>;

// Asks the kernel to reclaim page cache in a cgroup v2 folder, and nothing else: as much as its
// memory.stat counts in inactive file pages (and active ones at the critical level), through
// memory.reclaim with swappiness=0 so that no program's memory is pushed into swap. A kernel
// that does not take swappiness there is asked nothing: kUnavailable.
Status reclaimPageCache(const std::string& cgroupFolder, bool critical, const KernelWrite& write);

}  // namespace memory_pressure
