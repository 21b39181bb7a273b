#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

// Return code of every user-client call: 0 is success, anything else a failure.
using KernReturn = int;
constexpr KernReturn kKernSuccess = 0;
// Answered by a client that has no such service or connection.
constexpr KernReturn kKernFailure = 5;
// Answered for a call this process lacks the rights to make (IOKit's kIOReturnNotPrivileged).
constexpr KernReturn kNotPrivileged = static_cast<KernReturn>(0xE00002C1U);

// The AppleSMC user client, one function per call the SMC object makes:
// find the service, open it, make one struct-method exchange, close, release.
class SmcUserClient {
  public:
    virtual ~SmcUserClient() = default;

    // Looks up the first service of that name; 0 when there is none.
    virtual std::uint32_t matchingService(const char* serviceName) = 0;
    // Opens a connection to the service for the current task and writes its handle.
    virtual KernReturn serviceOpen(std::uint32_t service, std::uint32_t type,
                                   std::uint32_t* connection) = 0;
    // Releases a service object once its open has been tried.
    virtual KernReturn objectRelease(std::uint32_t object) = 0;
    // One synchronous exchange: the input record goes out, the output record comes back.
    virtual KernReturn callStructMethod(std::uint32_t connection, std::uint32_t selector,
                                        const void* input, std::size_t inputSize, void* output,
                                        std::size_t* outputSize) = 0;
    // Closes a connection opened by serviceOpen.
    virtual KernReturn serviceClose(std::uint32_t connection) = 0;
};

// The user client of the machine the program was built for. A write it refuses because this
// process lacks the rights goes to the privileged helper, unless the process runs as root.
std::unique_ptr<SmcUserClient> makeSmcUserClient();

// The same user client, as this process alone can use it: the privileged helper's own.
std::unique_ptr<SmcUserClient> makeDirectSmcUserClient();

}  // namespace platform
