// The SMC object's handling of replies: every exchange is answered with bytes from the input.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "LegacySMC.h"
#include "platform/SmcUserClient.h"

namespace {

class ReplayingClient : public platform::SmcUserClient {
  public:
    ReplayingClient(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint32_t matchingService(const char*) override { return 1; }
    platform::KernReturn serviceOpen(std::uint32_t, std::uint32_t, std::uint32_t* c) override {
        *c = 1;
        return 0;
    }
    platform::KernReturn objectRelease(std::uint32_t) override { return 0; }
    platform::KernReturn serviceClose(std::uint32_t) override { return 0; }
    platform::KernReturn callStructMethod(std::uint32_t, std::uint32_t, const void*, std::size_t,
                                          void* output, std::size_t* outputSize) override {
        // One byte says whether the call succeeds, then up to a whole reply.
        if (size_ == 0) {
            return platform::kKernFailure;
        }
        const bool succeeds = (*data_ & 1) == 0;
        ++data_;
        --size_;
        const std::size_t taken = size_ < *outputSize ? size_ : *outputSize;
        std::memcpy(output, data_, taken);
        data_ += taken;
        size_ -= taken;
        return succeeds ? 0 : platform::kKernFailure;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LegacySMC smc(std::make_unique<ReplayingClient>(data, size));
    if (const auto value = smc.readKey("FNum")) {
        if (value->empty() || value->size() > 32) {
            __builtin_trap();
        }
    }
    if (const auto celsius = smc.cpuTemperatureCelsius()) {
        if (!(*celsius > 5.0 && *celsius < 120.0)) {
            __builtin_trap();
        }
    }
    if (const auto rpm = smc.rpm("F0Ac")) {
        if (*rpm < 0 || *rpm > 65535) {
            __builtin_trap();
        }
    }
    smc.setFanTargetRPM(0, 2000);
    smc.writeKey("FS! ", "ui8 ", {0x00});
    return 0;
}
