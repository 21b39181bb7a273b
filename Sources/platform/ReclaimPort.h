#pragma once

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
    // Waits until that process has ended.
    virtual void waitForExit(int processId) = 0;
};

// The clean-up of this machine.
std::unique_ptr<ReclaimPort> makeReclaimPort();

}  // namespace platform
