#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// What a RAM clean-up needs of the system, one function per call it makes.
class ReclaimPort {
  public:
    virtual ~ReclaimPort() = default;

    // Asks this process's allocator to give free memory back to the system.
    virtual void relieveAllocator() = 0;
    // Where the memory-pressure tool is.
    virtual std::string memoryPressureTool() = 0;
    // Starts the tool at that path, no shell and no PATH look-up, with the given arguments
    // after its name; its process id, or -1 when it cannot be started.
    virtual int spawn(const std::string& path, const std::vector<std::string>& arguments) = 0;
    // Waits until that process has ended, for at most `limit`; true when it has. One still
    // running then is left to end on its own and reaped when it does.
    virtual bool waitForExit(int processId, std::chrono::milliseconds limit) = 0;
};

// The clean-up of this machine.
std::unique_ptr<ReclaimPort> makeReclaimPort();

}  // namespace platform
