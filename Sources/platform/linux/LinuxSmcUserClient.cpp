// The user client on Linux. The kernel offers no AppleSMC service of its own; until the
// applesmc driver is spoken to, there is no service to find and so nothing to open.

#include "../SmcUserClient.h"

namespace platform {

namespace {

class LinuxSmcUserClient final : public SmcUserClient {
  public:
    std::uint32_t matchingService(const char*) override { return 0; }
    KernReturn serviceOpen(std::uint32_t, std::uint32_t, std::uint32_t*) override {
        return kKernFailure;
    }
    KernReturn objectRelease(std::uint32_t) override { return kKernSuccess; }
    KernReturn callStructMethod(std::uint32_t, std::uint32_t, const void*, std::size_t, void*,
                                std::size_t*) override {
        return kKernFailure;
    }
    KernReturn serviceClose(std::uint32_t) override { return kKernSuccess; }
};

}  // namespace

std::unique_ptr<SmcUserClient> makeSmcUserClient() {
    return std::make_unique<LinuxSmcUserClient>();
}

}  // namespace platform
