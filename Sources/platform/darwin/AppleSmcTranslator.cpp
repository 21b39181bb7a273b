#include "AppleSmcTranslator.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "../SmcKeys.h"

namespace platform {

namespace {

const std::uint32_t kTypeFpe2 = smc::fourChar("fpe2");
const std::uint32_t kTypeFlt = smc::fourChar("flt ");

constexpr std::size_t kMostBytes = sizeof(AppleSmcKeyData::bytes);
constexpr int kMostFans = 10;  // fan keys have one digit

float floatFromLittleEndian(const std::uint8_t* bytes) {
    const std::uint32_t bits = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                               std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void floatToLittleEndian(float value, std::uint8_t* bytes) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
}

// A finite, non-negative value rounded to 16 bits; nothing for anything else.
std::optional<std::uint32_t> roundedUint16(double value) {
    if (!std::isfinite(value) || value < 0 || value > 65535.0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::lround(value));
}

// A whole number in `size` bytes, high byte first.
void putBigEndian(std::uint32_t value, std::uint32_t size, std::uint8_t* bytes) {
    for (std::uint32_t i = 0; i < size && i < 4; ++i) {
        bytes[size - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A fan's mode key: 1 for manual, 0 for the SMC's own control.
constexpr const char* kFanModeKey = "F%dMd";

}  // namespace

AppleSmcTranslator::AppleSmcTranslator(std::unique_ptr<SmcUserClient> kext)
    : kext_(std::move(kext)) {}

std::uint32_t AppleSmcTranslator::matchingService(const char* serviceName) {
    return kext_->matchingService(serviceName);
}

KernReturn AppleSmcTranslator::serviceOpen(std::uint32_t service, std::uint32_t type,
                                           std::uint32_t* connection) {
    if (connection == nullptr) {
        return kBadArgument;
    }
    const KernReturn result = kext_->serviceOpen(service, type, connection);
    connection_ = *connection;
    open_ = connection_ != 0;
    return result;
}

KernReturn AppleSmcTranslator::objectRelease(std::uint32_t object) {
    return kext_->objectRelease(object);
}

KernReturn AppleSmcTranslator::serviceClose(std::uint32_t connection) {
    open_ = false;
    return kext_->serviceClose(connection);
}

KernReturn AppleSmcTranslator::call(AppleSmcKeyData& request, AppleSmcKeyData& reply) {
    std::size_t replySize = sizeof reply;
    const KernReturn result = kext_->callStructMethod(connection_, kSelector, &request,
                                                      sizeof request, &reply, &replySize);
    if (result != kKernSuccess) {
        return result;  // kNotPrivileged among them
    }
    return reply.result == AppleSmcKeyData::kResultSuccess ? kKernSuccess : kRefused;
}

std::optional<AppleSmcTranslator::KeyInfo> AppleSmcTranslator::keyInfo(const std::string& key) {
    const std::uint32_t code = smc::fourChar(key);
    const auto known = keyInfos_.find(code);
    if (known != keyInfos_.end()) {
        return known->second;
    }
    AppleSmcKeyData request{};
    request.key = code;
    request.data8 = AppleSmcKeyData::kCommandKeyInfo;
    AppleSmcKeyData reply{};
    if (call(request, reply) != kKernSuccess || reply.keyInfo.dataSize == 0 ||
        reply.keyInfo.dataSize > kMostBytes) {
        return std::nullopt;
    }
    const KeyInfo info{reply.keyInfo.dataSize, reply.keyInfo.dataType};
    keyInfos_.emplace(code, info);
    return info;
}

bool AppleSmcTranslator::readValue(const std::string& key, const KeyInfo& info,
                                   std::uint8_t* bytes) {
    AppleSmcKeyData request{};
    request.key = smc::fourChar(key);
    request.keyInfo.dataSize = info.size;
    request.data8 = AppleSmcKeyData::kCommandReadKey;
    AppleSmcKeyData reply{};
    if (call(request, reply) != kKernSuccess) {
        return false;
    }
    std::memcpy(bytes, reply.bytes, info.size);
    return true;
}

KernReturn AppleSmcTranslator::writeValue(const std::string& key, const KeyInfo& info,
                                          const std::uint8_t* bytes) {
    AppleSmcKeyData request{};
    request.key = smc::fourChar(key);
    request.keyInfo.dataSize = info.size;
    request.data8 = AppleSmcKeyData::kCommandWriteKey;
    std::memcpy(request.bytes, bytes, info.size);
    AppleSmcKeyData reply{};
    return call(request, reply);
}

// Writes a whole number in the key's own size, high byte first.
KernReturn AppleSmcTranslator::writeNumber(const std::string& key, std::uint32_t value) {
    const auto info = keyInfo(key);
    if (!info) {
        return kKeyNotFound;
    }
    std::uint8_t bytes[kMostBytes] = {};
    putBigEndian(value, info->size, bytes);
    return writeValue(key, *info, bytes);
}

KernReturn AppleSmcTranslator::readKey(const std::string& key, std::uint32_t& length,
                                       std::uint8_t* payload) {
    const auto info = keyInfo(key);
    if (!info) {
        return kKeyNotFound;
    }
    std::uint8_t bytes[kMostBytes] = {};
    if (!readValue(key, *info, bytes)) {
        return kUnreadable;
    }

    const bool fanSpeed = fanIndex(key, "Ac") >= 0 || fanIndex(key, "Mn") >= 0 ||
                          fanIndex(key, "Mx") >= 0 || fanIndex(key, "Tg") >= 0;
    std::optional<std::uint32_t> value;
    if (fanSpeed && info->type == kTypeFpe2 && info->size == 2) {
        // 14.2 fixed point, rounded to the nearest rpm (a half up) as a float's speed is.
        value = ((std::uint32_t{bytes[0]} << 8 | bytes[1]) + 2) >> 2;
    } else if (fanSpeed && info->type == kTypeFlt && info->size == 4) {
        value = roundedUint16(floatFromLittleEndian(bytes));
    } else if (key[0] == 'T' && info->type == kTypeFlt && info->size == 4) {
        value = roundedUint16(floatFromLittleEndian(bytes) * 256.0);
    } else {
        std::memcpy(payload, bytes, info->size);
        length = info->size;
        return kKernSuccess;
    }
    if (!value) {
        return kUnreadable;
    }
    putUint16(*value, length, payload);
    return kKernSuccess;
}

KernReturn AppleSmcTranslator::setManual(int fan, bool manual) {
    const std::string modeKey = smc::fanKey(kFanModeKey, fan);
    if (keyInfo(modeKey)) {
        return writeNumber(modeKey, manual ? 1 : 0);
    }
    const auto mask = keyInfo("FS! ");
    if (!mask) {
        return kKeyNotFound;
    }
    std::uint8_t bytes[kMostBytes] = {};
    std::uint32_t manualFans = 0;
    if (readValue("FS! ", *mask, bytes)) {
        for (std::uint32_t i = 0; i < mask->size && i < 4; ++i) {
            manualFans = manualFans << 8 | bytes[i];
        }
    }
    const std::uint32_t bit = 1U << fan;
    return writeNumber("FS! ", manual ? manualFans | bit : manualFans & ~bit);
}

KernReturn AppleSmcTranslator::handBackFans() {
    int fans = 0;
    if (const auto info = keyInfo("FNum")) {
        std::uint8_t bytes[kMostBytes] = {};
        if (readValue("FNum", *info, bytes)) {
            fans = std::min<int>(bytes[0], kMostFans);
        }
    }
    // Every fan is handed back even when one of them refuses; the first refusal is answered.
    bool anyModeKey = false;
    KernReturn firstRefusal = kKernSuccess;
    for (int fan = 0; fan < fans; ++fan) {
        const std::string modeKey = smc::fanKey(kFanModeKey, fan);
        if (keyInfo(modeKey)) {
            anyModeKey = true;
            const KernReturn result = writeNumber(modeKey, 0);
            firstRefusal = firstRefusal != kKernSuccess ? firstRefusal : result;
        }
    }
    return anyModeKey ? firstRefusal : writeNumber("FS! ", 0);
}

KernReturn AppleSmcTranslator::writeKey(const std::string& key, std::uint32_t length,
                                        const std::uint8_t* payload) {
    if (const int fan = fanIndex(key, "Tg"); fan >= 0) {
        if (length != 2) {
            return kBadArgument;
        }
        const auto info = keyInfo(key);
        if (!info) {
            return kKeyNotFound;
        }
        const std::uint32_t rpm = std::uint32_t{payload[0]} << 8 | payload[1];
        std::uint8_t bytes[kMostBytes] = {};
        if (info->type == kTypeFpe2 && info->size == 2) {
            const std::uint32_t scaled = std::min<std::uint32_t>(rpm, 0x3FFF) << 2;
            bytes[0] = static_cast<std::uint8_t>(scaled >> 8);
            bytes[1] = static_cast<std::uint8_t>(scaled & 0xFF);
        } else if (info->type == kTypeFlt && info->size == 4) {
            floatToLittleEndian(static_cast<float>(rpm), bytes);
        } else {
            putBigEndian(rpm, info->size, bytes);
        }
        if (const KernReturn switched = setManual(fan, true); switched != kKernSuccess) {
            return switched;
        }
        const KernReturn written = writeValue(key, *info, bytes);
        if (written != kKernSuccess) {
            // A fan left in manual at its old target would stay so after the window is gone.
            setManual(fan, false);
        }
        return written;
    }

    const bool handBack = key == "FS! " && (length == 1 || length == 2) &&
                          std::all_of(payload, payload + length, [](auto b) { return b == 0; });
    if (handBack) {
        return handBackFans();
    }

    const auto info = keyInfo(key);
    if (!info) {
        return kKeyNotFound;
    }
    std::uint8_t bytes[kMostBytes] = {};
    std::memcpy(bytes, payload, std::min<std::uint32_t>(length, info->size));
    return writeValue(key, *info, bytes);
}

}  // namespace platform
