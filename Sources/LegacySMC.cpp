#include "LegacySMC.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/SmcUserClient.h"

static_assert(offsetof(LegacySMCParamRecord, keyCode) == 0, "keyCode at 0");
static_assert(offsetof(LegacySMCParamRecord, reserved14) == 14, "reserved 16-bit at 14");
static_assert(offsetof(LegacySMCParamRecord, reserved16) == 16, "reserved 8-bit at 16");
static_assert(offsetof(LegacySMCParamRecord, typeCode) == 20, "typeCode at 20");
static_assert(offsetof(LegacySMCParamRecord, command) == 32, "command at 32");
static_assert(offsetof(LegacySMCParamRecord, writeLength) == 36, "writeLength at 36");
static_assert(offsetof(LegacySMCParamRecord, replyLength) == 40, "replyLength at 40");
static_assert(offsetof(LegacySMCParamRecord, payload) == 44, "payload at 44");

namespace {

// Keys and types are four characters: code points, not bytes.
bool isFourCharacters(const std::string& text) {
    const auto characters = std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    });
    return characters == 4;
}

}  // namespace

std::shared_ptr<LegacySMC> LegacySMC::shared() {
    static const std::shared_ptr<LegacySMC> instance =
        std::make_shared<LegacySMC>(platform::makeSmcUserClient());
    return instance;
}

LegacySMC::LegacySMC(std::unique_ptr<platform::SmcUserClient> client) : client_(std::move(client)) {
    const std::uint32_t service = client_->matchingService("AppleSMC");
    if (service == 0) {
        return;
    }
    const platform::KernReturn opened = client_->serviceOpen(service, 0, &connection_);
    isAvailable_ = opened == platform::kKernSuccess && connection_ != 0;
    client_->objectRelease(service);
}

LegacySMC::~LegacySMC() {
    if (connection_ != 0) {
        client_->serviceClose(connection_);
    }
}

std::optional<std::vector<std::uint8_t>> LegacySMC::readKey(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    if (connection_ == 0 || !isFourCharacters(key)) {
        return std::nullopt;
    }
    LegacySMCParamRecord request{};
    request.keyCode = fourChar(key);
    request.command = kCommandRead;
    LegacySMCParamRecord reply{};
    std::size_t replySize = sizeof reply;
    if (client_->callStructMethod(connection_, kSelector, &request, sizeof request, &reply,
                                  &replySize) != platform::kKernSuccess) {
        return std::nullopt;
    }
    if (reply.replyLength == 0 || reply.replyLength > kPayloadSize) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(reply.payload, reply.payload + reply.replyLength);
}

LegacySMCWriteResult LegacySMC::writeKey(const std::string& key, const std::string& type,
                                         const std::vector<std::uint8_t>& data) {
    std::lock_guard<std::mutex> guard(lock_);
    if (connection_ == 0 || !isFourCharacters(key) || !isFourCharacters(type)) {
        return LegacySMCWriteResult::failed;
    }
    // The length field is 32 bits wide; a longer value cannot be described to the SMC.
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        return LegacySMCWriteResult::failed;
    }
    LegacySMCParamRecord request{};
    request.keyCode = fourChar(key);
    request.command = kCommandWrite;
    request.writeLength = static_cast<std::uint32_t>(data.size());
    smcSetBytes(data, request.payload);
    std::memcpy(request.typeCode, type.data(), sizeof request.typeCode);
    LegacySMCParamRecord reply{};
    std::size_t replySize = sizeof reply;
    const platform::KernReturn result = client_->callStructMethod(
        connection_, kSelector, &request, sizeof request, &reply, &replySize);
    return result == platform::kKernSuccess     ? LegacySMCWriteResult::written
           : result == platform::kNotPrivileged ? LegacySMCWriteResult::notPermitted
                                                : LegacySMCWriteResult::failed;
}

std::optional<double> LegacySMC::cpuTemperatureCelsius() {
    // Unsigned 8.8 fixed point; only a value strictly inside the window is believed.
    constexpr double kDegreesPerUnit = 0.00390625;
    constexpr double kLowest = 5.0;
    constexpr double kHighest = 120.0;
    for (const char* key : kCpuTemperatureKeys) {
        const auto value = readKey(key);
        if (!value || value->size() < 2) {
            continue;
        }
        const double celsius = ((*value)[0] * 256 + (*value)[1]) * kDegreesPerUnit;
        if (celsius > kLowest && celsius < kHighest) {
            return celsius;
        }
    }
    return std::nullopt;
}

std::optional<int> LegacySMC::rpm(const std::string& key) {
    const auto value = readKey(key);
    if (!value || value->size() < 2) {
        return std::nullopt;
    }
    return (*value)[0] * 256 + (*value)[1];
}

LegacySMCWriteResult LegacySMC::setFanTargetRPM(int index, int rpm) {
    const std::string key = fanKey(kFanTargetSpeedKey, index);
    const int clamped = std::clamp(rpm, 0, 65535);
    const std::vector<std::uint8_t> value = {static_cast<std::uint8_t>(clamped >> 8),
                                             static_cast<std::uint8_t>(clamped & 0xFF)};
    return writeKey(key, kFanTargetSpeedType, value);
}

void smcSetBytes(const std::vector<std::uint8_t>& data, std::uint8_t (&payload)[32]) {
    const std::size_t count = std::min<std::size_t>(data.size(), sizeof payload);
    if (count != 0) {
        std::memcpy(payload, data.data(), count);
    }
}
