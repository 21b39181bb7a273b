// The SMC object's handling of replies: every exchange is answered with bytes from the input.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "LegacySMC.h"
#include "ReplayingClient.h"

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
