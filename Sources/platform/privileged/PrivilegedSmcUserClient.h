#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "../SmcUserClient.h"

namespace platform {

class PrivilegedSession;

// The program's SMC user client: the machine's own, with every write it refuses for lack of
// privilege handed to the privileged helper, unless this process runs as root already (then
// nothing could be gained). Reads, and writes the client takes or refuses for anything else,
// are the client's own.
class PrivilegedSmcUserClient final : public SmcUserClient {
  public:
    PrivilegedSmcUserClient(std::unique_ptr<SmcUserClient> direct, PrivilegedSession& session,
                            bool runsAsRoot);

    std::uint32_t matchingService(const char* serviceName) override;
    KernReturn serviceOpen(std::uint32_t service, std::uint32_t type,
                           std::uint32_t* connection) override;
    KernReturn objectRelease(std::uint32_t object) override;
    KernReturn callStructMethod(std::uint32_t connection, std::uint32_t selector, const void* input,
                                std::size_t inputSize, void* output,
                                std::size_t* outputSize) override;
    KernReturn serviceClose(std::uint32_t connection) override;

  private:
    std::unique_ptr<SmcUserClient> direct_;
    PrivilegedSession& session_;
    bool runsAsRoot_;
};

}  // namespace platform
