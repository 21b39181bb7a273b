// The macOS translator's handling of the kernel extension's 80-byte replies: every call is
// answered with bytes from the input.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "LegacySMC.h"
#include "ReplayingClient.h"
#include "platform/darwin/AppleSmcTranslator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LegacySMC smc(std::make_unique<platform::AppleSmcTranslator>(
        std::make_unique<ReplayingClient>(data, size)));
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
