#pragma once

#include <cstdint>

#include "SmcKeyResponder.h"

namespace platform {

// A user client that is its own SMC: one AppleSMC service with one connection, whose
// exchanges it answers key by key.
class SmcKeyDevice : public SmcKeyResponder {
  public:
    std::uint32_t matchingService(const char* serviceName) final;
    KernReturn serviceOpen(std::uint32_t service, std::uint32_t type,
                           std::uint32_t* connection) final;
    KernReturn objectRelease(std::uint32_t object) final;
    KernReturn serviceClose(std::uint32_t connection) final;

    static constexpr std::uint32_t kService = 0x534D43;  // "SMC"
    static constexpr std::uint32_t kConnection = 1;

  protected:
    // Whether the SMC is there; asked when the service is first looked for.
    virtual bool findDevice() = 0;

  private:
    bool isOpenConnection(std::uint32_t connection) const final {
        return open_ && connection == kConnection;
    }

    bool found_ = false;
    bool open_ = false;
};

}  // namespace platform
