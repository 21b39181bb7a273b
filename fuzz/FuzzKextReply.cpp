// The macOS translator's handling of the kernel extension's 80-byte replies: every call is
// answered with bytes from the input.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "LegacySMC.h"
#include "platform/darwin/AppleSmcTranslator.h"

namespace {

class ReplayingKext : public platform::SmcUserClient {
  public:
    ReplayingKext(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint32_t matchingService(const char*) override { return 1; }
    platform::KernReturn serviceOpen(std::uint32_t, std::uint32_t, std::uint32_t* c) override {
        *c = 1;
        return 0;
    }
    platform::KernReturn objectRelease(std::uint32_t) override { return 0; }
    platform::KernReturn serviceClose(std::uint32_t) override { return 0; }
    platform::KernReturn callStructMethod(std::uint32_t, std::uint32_t, const void*, std::size_t,
                                          void* output, std::size_t* outputSize) override {
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
    LegacySMC smc(std::make_unique<platform::AppleSmcTranslator>(
        std::make_unique<ReplayingKext>(data, size)));
    for (const char* key : {"FNum", "F0Ac", "TC0P", "F0Ac", "FS! "}) {
        if (const auto value = smc.readKey(key); value && (value->empty() || value->size() > 32)) {
            __builtin_trap();
        }
    }
    smc.cpuTemperatureCelsius();
    smc.setFanTargetRPM(0, 3000);
    smc.setFanTargetRPM(1, 70000);
    smc.writeKey("FS! ", "ui8 ", {0x00});
    smc.writeKey("BCLM", "ui8 ", {80});
    return 0;
}
