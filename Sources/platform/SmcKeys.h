#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The parameter record of every SMC key exchange: 76 bytes, integers in host byte order.
struct LegacySMCParamRecord {
    std::uint32_t keyCode;  // the key's code from fourChar
    std::uint8_t reserved4[9];
    std::uint8_t padding13;
    std::uint16_t reserved14;
    std::uint8_t reserved16;
    std::uint8_t padding17[3];
    std::uint8_t typeCode[4];  // the type's text, in text order
    std::uint8_t reserved24[8];
    std::uint8_t command;  // 5 read, 6 write
    std::uint8_t padding33[3];
    std::uint32_t writeLength;  // bytes of the value to write
    std::uint32_t replyLength;  // valid bytes at the start of payload in a reply
    std::uint8_t payload[32];
};
static_assert(sizeof(LegacySMCParamRecord) == 76, "the SMC parameter record is 76 bytes");

// The SMC's vocabulary: the user client's call, the record's commands, and the keys the program
// reads and writes. LegacySMC offers the same names to the system.
namespace platform::smc {

constexpr std::uint32_t kSelector = 2;
constexpr std::uint8_t kCommandRead = 5;
constexpr std::uint8_t kCommandWrite = 6;
constexpr std::size_t kPayloadSize = sizeof(LegacySMCParamRecord::payload);

// The keys, in the order the CPU temperature is looked for.
constexpr const char* kCpuTemperatureKeys[] = {"TC0P", "TC0D", "TC0E", "TCPU"};
constexpr const char* kFanCountKey = "FNum";
constexpr const char* kFanCurrentSpeedKey = "F%dAc";
constexpr const char* kFanMinimumSpeedKey = "F%dMn";
constexpr const char* kFanMaximumSpeedKey = "F%dMx";
constexpr const char* kFanTargetSpeedKey = "F%dTg";
constexpr const char* kFanTargetSpeedType = "ui16";
constexpr const char* kFanForceKey = "FS! ";
constexpr const char* kFanForceType = "ui8 ";

// The 32-bit code of a key: its first four UTF-8 bytes, the first in the highest byte.
inline std::uint32_t fourChar(const std::string& text) {
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < text.size() && i < 4; ++i) {
        code = (code << 8) | static_cast<unsigned char>(text[i]);
    }
    return code;
}

// A fan key made from a template such as "F%dAc" and the fan's index.
inline std::string fanKey(const char* keyTemplate, int index) {
    char key[32];
    std::snprintf(key, sizeof key, keyTemplate, index);
    return key;
}

}  // namespace platform::smc
