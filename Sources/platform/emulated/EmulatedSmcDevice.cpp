#include "EmulatedSmcDevice.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace platform {

namespace {

constexpr double kPi = 3.14159265358979323846;
// How fast the CPU warms or cools toward its balance, and how fast a fan reaches its target.
constexpr double kTemperatureSeconds = 8.0;
constexpr double kFanSeconds = 1.2;
// The longest step of the model; a longer pause is caught up in such steps.
constexpr double kStepSeconds = 0.25;
// Beyond this the model has long settled; a longer pause is not caught up further.
constexpr double kLongestCatchUpSeconds = 120.0;

double monotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Unsigned 8.8 fixed point degrees.
std::uint32_t temperatureUnits(double celsius) {
    return static_cast<std::uint32_t>(std::clamp(std::round(celsius * 256.0), 0.0, 65535.0));
}

// The work the CPU is doing, 0 to 1: slow waves that never quite repeat.
double loadAt(double seconds) {
    return 0.5 + 0.3 * std::sin(2 * kPi * seconds / 47.0) +
           0.2 * std::sin(2 * kPi * seconds / 13.7 + 1.0);
}

}  // namespace

EmulatedSmcDevice::EmulatedSmcDevice() : EmulatedSmcDevice(monotonicSeconds) {}

EmulatedSmcDevice::EmulatedSmcDevice(Clock clock) : clock_(std::move(clock)) {
    startTime_ = lastTime_ = clock_();
    fans_[0] = {2000, 6200, 0.0, 0, false};
    fans_[1] = {1800, 5600, 0.0, 0, false};
    temperature_ = 46.0;
    for (Fan& fan : fans_) {
        fan.actualRpm = automaticTargetRpm(fan);
        fan.targetRpm = static_cast<int>(fan.actualRpm);
    }
}

double EmulatedSmcDevice::automaticTargetRpm(const Fan& fan) const {
    const double share = std::clamp((temperature_ - 50.0) / 35.0, 0.0, 1.0);
    return fan.minimumRpm + share * (fan.maximumRpm - fan.minimumRpm);
}

void EmulatedSmcDevice::advance() {
    const double now = clock_();
    double remaining = std::min(now - lastTime_, kLongestCatchUpSeconds);
    double time = std::max(lastTime_, now - remaining) - startTime_;
    lastTime_ = std::max(lastTime_, now);
    while (remaining > 0) {
        const double step = std::min(remaining, kStepSeconds);
        remaining -= step;
        time += step;

        double cooling = 0.0;
        for (const Fan& fan : fans_) {
            cooling += std::clamp(
                (fan.actualRpm - fan.minimumRpm) / (fan.maximumRpm - fan.minimumRpm), 0.0, 1.0);
        }
        cooling /= kFanCount;
        const double balance = 40.0 + 38.0 * loadAt(time) - 12.0 * cooling;
        temperature_ += (balance - temperature_) * (1.0 - std::exp(-step / kTemperatureSeconds));

        for (Fan& fan : fans_) {
            const double wanted =
                fan.manual ? std::clamp<double>(fan.targetRpm, fan.minimumRpm, fan.maximumRpm)
                           : automaticTargetRpm(fan);
            fan.actualRpm += (wanted - fan.actualRpm) * (1.0 - std::exp(-step / kFanSeconds));
        }
    }
}

const EmulatedSmcDevice::Fan& EmulatedSmcDevice::fan(int index) {
    advance();
    return fans_.at(static_cast<std::size_t>(index));
}

double EmulatedSmcDevice::cpuTemperature() {
    advance();
    return temperature_;
}

KernReturn EmulatedSmcDevice::readKey(const std::string& key, std::uint32_t& length,
                                      std::uint8_t* payload) {
    advance();
    if (key == "TC0P") {
        putUint16(temperatureUnits(temperature_), length, payload);
    } else if (key == "TC0D") {
        putUint16(temperatureUnits(temperature_ + 3.5), length, payload);
    } else if (key == "FNum") {
        payload[0] = kFanCount;
        length = 1;
    } else if (key == "FS! ") {
        std::uint32_t mask = 0;
        for (int i = 0; i < kFanCount; ++i) {
            mask |= fans_[static_cast<std::size_t>(i)].manual ? 1U << i : 0U;
        }
        putUint16(mask, length, payload);
    } else if (const int index = fanIndex(key, "Ac"); index >= 0 && index < kFanCount) {
        putUint16(static_cast<std::uint32_t>(std::lround(fans_[index].actualRpm)), length, payload);
    } else if (const int index = fanIndex(key, "Mn"); index >= 0 && index < kFanCount) {
        putUint16(static_cast<std::uint32_t>(fans_[index].minimumRpm), length, payload);
    } else if (const int index = fanIndex(key, "Mx"); index >= 0 && index < kFanCount) {
        putUint16(static_cast<std::uint32_t>(fans_[index].maximumRpm), length, payload);
    } else if (const int index = fanIndex(key, "Tg"); index >= 0 && index < kFanCount) {
        const Fan& fan = fans_[index];
        const double target = fan.manual ? fan.targetRpm : automaticTargetRpm(fan);
        putUint16(static_cast<std::uint32_t>(std::lround(target)), length, payload);
    } else {
        return kKeyNotFound;
    }
    return kKernSuccess;
}

KernReturn EmulatedSmcDevice::writeKey(const std::string& key, std::uint32_t length,
                                       const std::uint8_t* payload) {
    advance();
    if (const int index = fanIndex(key, "Tg"); index >= 0) {
        if (index >= kFanCount) {
            return kKeyNotFound;
        }
        if (length != 2) {
            return kBadArgument;
        }
        Fan& fan = fans_[index];
        fan.targetRpm = payload[0] * 256 + payload[1];
        fan.manual = true;
        return kKernSuccess;
    }
    if (key == "FS! ") {
        if (length != 1 && length != 2) {
            return kBadArgument;
        }
        const std::uint32_t mask = length == 1 ? payload[0] : payload[0] * 256U + payload[1];
        for (int i = 0; i < kFanCount; ++i) {
            Fan& fan = fans_[static_cast<std::size_t>(i)];
            const bool manual = (mask >> i) & 1U;
            if (manual && !fan.manual) {
                fan.targetRpm = static_cast<int>(std::lround(automaticTargetRpm(fan)));
            }
            fan.manual = manual;
        }
        return kKernSuccess;
    }
    return kKeyNotFound;
}

}  // namespace platform
