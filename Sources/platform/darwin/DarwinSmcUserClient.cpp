// The AppleSMC kernel extension of macOS, through IOKit. It speaks its own 80-byte record;
// the program reaches it through the translator.

#include <IOKit/IOKitLib.h>
#include <mach/mach.h>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "AppleSmcTranslator.h"
#include "DarwinSmcUserClient.h"

namespace platform {

namespace {

class DarwinSmcUserClient final : public SmcUserClient {
  public:
    std::uint32_t matchingService(const char* serviceName) override {
        // The matching dictionary's reference is consumed by the look-up. MACH_PORT_NULL is the
        // default main port on every macOS (kIOMasterPortDefault is deprecated from 12.0 on).
        return ::IOServiceGetMatchingService(MACH_PORT_NULL, ::IOServiceMatching(serviceName));
    }

    KernReturn serviceOpen(std::uint32_t service, std::uint32_t type,
                           std::uint32_t* connection) override {
        io_connect_t handle = 0;
        const kern_return_t result = ::IOServiceOpen(service, mach_task_self(), type, &handle);
        *connection = handle;
        return result;
    }

    KernReturn objectRelease(std::uint32_t object) override { return ::IOObjectRelease(object); }

    KernReturn callStructMethod(std::uint32_t connection, std::uint32_t selector, const void* input,
                                std::size_t inputSize, void* output,
                                std::size_t* outputSize) override {
        return ::IOConnectCallStructMethod(connection, selector, input, inputSize, output,
                                           outputSize);
    }

    KernReturn serviceClose(std::uint32_t connection) override {
        return ::IOServiceClose(connection);
    }
};

}  // namespace

std::unique_ptr<SmcUserClient> makeAppleSmcKextClient() {
    return std::make_unique<DarwinSmcUserClient>();
}

std::unique_ptr<SmcUserClient> makeDirectSmcUserClient() {
    return std::make_unique<AppleSmcTranslator>(makeAppleSmcKextClient());
}

}  // namespace platform
