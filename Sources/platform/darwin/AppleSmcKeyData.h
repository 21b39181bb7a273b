#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The record the AppleSMC kernel extension takes through its struct method 2: 80 bytes,
// natural alignment, integers in host byte order. Keys and types are four-character codes as
// numbers, the first character in the most significant byte.
struct AppleSmcKeyData {
    struct Version {
        std::uint8_t major;
        std::uint8_t minor;
        std::uint8_t build;
        std::uint8_t reserved;
        std::uint16_t release;
    };
    struct PowerLimitData {
        std::uint16_t version;
        std::uint16_t length;
        std::uint32_t cpuPLimit;
        std::uint32_t gpuPLimit;
        std::uint32_t memPLimit;
    };
    struct KeyInfo {
        std::uint32_t dataSize;
        std::uint32_t dataType;
        std::uint8_t dataAttributes;
    };

    std::uint32_t key;
    Version vers;
    PowerLimitData pLimitData;
    KeyInfo keyInfo;
    std::uint8_t result;
    std::uint8_t status;
    std::uint8_t data8;  // the command
    std::uint32_t data32;
    std::uint8_t bytes[32];

    static constexpr std::uint8_t kCommandReadKey = 5;
    static constexpr std::uint8_t kCommandWriteKey = 6;
    static constexpr std::uint8_t kCommandKeyByIndex = 8;
    static constexpr std::uint8_t kCommandKeyInfo = 9;
    static constexpr std::uint8_t kResultSuccess = 0;
    static constexpr std::uint8_t kResultKeyNotFound = 0x84;
};

static_assert(sizeof(AppleSmcKeyData) == 80, "the AppleSMC record is 80 bytes");
static_assert(offsetof(AppleSmcKeyData, vers) == 4, "vers at 4");
static_assert(offsetof(AppleSmcKeyData, pLimitData) == 12, "pLimitData at 12");
static_assert(offsetof(AppleSmcKeyData, keyInfo) == 28, "keyInfo at 28");
static_assert(offsetof(AppleSmcKeyData, result) == 40, "result at 40");
static_assert(offsetof(AppleSmcKeyData, status) == 41, "status at 41");
static_assert(offsetof(AppleSmcKeyData, data8) == 42, "data8 at 42");
static_assert(offsetof(AppleSmcKeyData, data32) == 44, "data32 at 44");
static_assert(offsetof(AppleSmcKeyData, bytes) == 48, "bytes at 48");

}  // namespace platform
