#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/SmcKeys.h"

namespace platform {
class SmcUserClient;
}

// What a key write came to: true when the platform call succeeded. A write that failed may have
// been refused because this process lacks the rights to make it.
class LegacySMCWriteResult {
  public:
    enum Value { written, failed, notPermitted };

    constexpr LegacySMCWriteResult(Value value) : value_(value) {}  // NOLINT: a plain value
    explicit operator bool() const { return value_ == written; }
    Value value() const { return value_; }
    bool operator==(Value value) const { return value_ == value; }
    bool operator!=(Value value) const { return value_ != value; }

  private:
    Value value_;
};

// The System Management Controller, reached through the AppleSMC user client.
// One process-wide object; every key read or write is one locked exchange of the record.
class LegacySMC {
  public:
    static constexpr std::uint32_t kSelector = platform::smc::kSelector;
    static constexpr std::uint8_t kCommandRead = platform::smc::kCommandRead;
    static constexpr std::uint8_t kCommandWrite = platform::smc::kCommandWrite;
    static constexpr std::size_t kPayloadSize = platform::smc::kPayloadSize;

    // The one SMC object of the process, made on first use over this machine's user client.
    static std::shared_ptr<LegacySMC> shared();

    // An SMC object over the given user client; the program itself uses shared() alone.
    explicit LegacySMC(std::unique_ptr<platform::SmcUserClient> client);
    ~LegacySMC();
    LegacySMC(const LegacySMC&) = delete;
    LegacySMC& operator=(const LegacySMC&) = delete;

    // True when the connection was opened and produced a non-zero handle.
    bool isAvailable() const { return isAvailable_; }

    // The key's value, 1 to 32 bytes; empty on any failure.
    std::optional<std::vector<std::uint8_t>> readKey(const std::string& key);
    // Writes the value under the given type; true when the platform call succeeded.
    LegacySMCWriteResult writeKey(const std::string& key, const std::string& type,
                                  const std::vector<std::uint8_t>& data);

    // The 32-bit code of a key: its first four UTF-8 bytes, the first in the highest byte.
    static std::uint32_t fourChar(const std::string& text) { return platform::smc::fourChar(text); }

    // The first plausible CPU temperature among the CPU temperature keys, in degrees Celsius.
    std::optional<double> cpuTemperatureCelsius();
    // A fan speed key's value in revolutions per minute, 0 to 65535.
    std::optional<int> rpm(const std::string& key);
    // Writes a fan's target speed, clamped to 0..65535; true when the write's call succeeded.
    LegacySMCWriteResult setFanTargetRPM(int index, int rpm);

    // A fan key made from a template such as "F%dAc" and the fan's index.
    static std::string fanKey(const char* keyTemplate, int index) {
        return platform::smc::fanKey(keyTemplate, index);
    }

    // The keys, in the order the CPU temperature is looked for.
    static constexpr const auto& kCpuTemperatureKeys = platform::smc::kCpuTemperatureKeys;
    static constexpr const char* kFanCountKey = platform::smc::kFanCountKey;
    static constexpr const char* kFanCurrentSpeedKey = platform::smc::kFanCurrentSpeedKey;
    static constexpr const char* kFanMinimumSpeedKey = platform::smc::kFanMinimumSpeedKey;
    static constexpr const char* kFanMaximumSpeedKey = platform::smc::kFanMaximumSpeedKey;
    static constexpr const char* kFanTargetSpeedKey = platform::smc::kFanTargetSpeedKey;
    static constexpr const char* kFanTargetSpeedType = platform::smc::kFanTargetSpeedType;
    static constexpr const char* kFanForceKey = platform::smc::kFanForceKey;
    static constexpr const char* kFanForceType = platform::smc::kFanForceType;

  private:
    std::uint32_t connection_ = 0;
    std::mutex lock_;
    bool isAvailable_ = false;
    std::unique_ptr<platform::SmcUserClient> client_;
};

// Copies up to 32 bytes of the data into the start of a record's payload.
void smcSetBytes(const std::vector<std::uint8_t>& data, std::uint8_t (&payload)[32]);
