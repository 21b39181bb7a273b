#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// How a run of the memory-pressure tool ended.
enum class ToolRun {
    ended,         // it ran to its end
    notStarted,    // it could not be started, or is not one that root may run
    stillRunning,  // it had not ended when the wait for it gave up
    failed,        // it ended without doing its work (busy, refused, failed), or never answered
    notPermitted,  // this process lacks the rights, and no helper would run it
};

// The exit status of a memory-pressure tool whose work was still going on when its own seconds
// were up (the Linux stand-in's): still running, neither done nor failed.
constexpr int kToolStillWorkingStatus = 80;

// What a RAM clean-up needs of the system.
class ReclaimPort {
  public:
    virtual ~ReclaimPort() = default;

    // Asks this process's allocator to give free memory back to the system.
    virtual void relieveAllocator() = 0;
    // Where the memory-pressure tool is.
    virtual std::string memoryPressureTool() = 0;
    // Runs the tool at that path, no shell and no PATH look-up, with the given arguments after
    // its name, and waits for it for at most `limit`; one still running then is reaped once it
    // ends. Root runs only a tool that root owns and nobody else may write, in a folder of which
    // the same holds; a process without root's rights has the privileged helper run the tool.
    virtual ToolRun runTool(const std::string& path, const std::vector<std::string>& arguments,
                            std::chrono::milliseconds limit) = 0;
};

// The clean-up of this machine.
std::unique_ptr<ReclaimPort> makeReclaimPort();

}  // namespace platform
