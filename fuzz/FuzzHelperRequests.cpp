// The privileged helper's requests: any bytes on its input, split at will. Whatever comes, the
// only writes that reach the SMC are those the program makes: a fan's target within that fan's
// limits, or every fan handed back.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "LegacySMC.h"
#include "PrivilegedRequests.h"
#include "platform/emulated/EmulatedSmcDevice.h"

namespace {

// The emulated SMC (two fans, their limits its own), with every write it takes checked.
class CheckedDevice : public platform::SmcUserClient {
  public:
    CheckedDevice() : device_([] { return 0.0; }) {}

    std::uint32_t matchingService(const char* name) override {
        return device_.matchingService(name);
    }
    platform::KernReturn serviceOpen(std::uint32_t s, std::uint32_t t, std::uint32_t* c) override {
        return device_.serviceOpen(s, t, c);
    }
    platform::KernReturn objectRelease(std::uint32_t o) override {
        return device_.objectRelease(o);
    }
    platform::KernReturn serviceClose(std::uint32_t c) override { return device_.serviceClose(c); }
    platform::KernReturn callStructMethod(std::uint32_t c, std::uint32_t s, const void* input,
                                          std::size_t inputSize, void* output,
                                          std::size_t* outputSize) override {
        LegacySMCParamRecord request;
        std::memcpy(&request, input, sizeof request);
        if (request.command == LegacySMC::kCommandWrite) {
            check(request);
        }
        return device_.callStructMethod(c, s, input, inputSize, output, outputSize);
    }

  private:
    void check(const LegacySMCParamRecord& request) {
        const std::uint32_t code = request.keyCode;
        const std::string key = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                                 static_cast<char>(code >> 8), static_cast<char>(code)};
        const std::string type(reinterpret_cast<const char*>(request.typeCode), 4);
        if (key == "FS! ") {
            if (type != "ui8 " || request.writeLength != 1 || request.payload[0] != 0) {
                __builtin_trap();
            }
            return;
        }
        const int fan = key[1] - '0';
        if (key[0] != 'F' || fan < 0 || fan > 1 || key.compare(2, 2, "Tg") != 0 || type != "ui16" ||
            request.writeLength != 2) {
            __builtin_trap();
        }
        const int rpm = request.payload[0] * 256 + request.payload[1];
        const auto& limits = device_.fan(fan);
        if (rpm < limits.minimumRpm || rpm > limits.maximumRpm) {
            __builtin_trap();
        }
    }

    platform::EmulatedSmcDevice device_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LegacySMC smc(std::make_unique<CheckedDevice>());
    int cleanUps = 0;
    platform::PrivilegedRequests requests(smc, [&cleanUps] {
        ++cleanUps;
        return LegacyReclaimOutcome::toolEnded;
    });
    // The first byte says where the input is split in two reads.
    const std::size_t split = size == 0 ? 0 : data[0] % size;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::size_t answers = requests.take(bytes.substr(0, split)).size();
    answers += requests.take(bytes.substr(split)).size();
    std::size_t lines = 0;
    for (const char c : bytes) {
        lines += c == '\n' ? 1 : 0;
    }
    if (answers != lines || cleanUps > static_cast<int>(lines)) {
        __builtin_trap();
    }
    return 0;
}
