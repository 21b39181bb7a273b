#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "../SmcKeyDevice.h"

namespace platform {

// An SMC of our own, spoken to through the user client's record exactly as the program speaks
// to a real one: selector 2, command 5 reads a key, command 6 writes one. It has two fans and
// CPU temperatures that drift with time and fall as the fans speed up. A fan follows the SMC's
// own curve until a target is written for it; then it moves toward that target until the fans
// are handed back ("FS! " = 0).
class EmulatedSmcDevice final : public SmcKeyDevice {
  public:
    using Clock = std::function<double()>;  // seconds, monotonic

    // A device whose time is the machine's monotonic clock.
    EmulatedSmcDevice();
    // A device whose time is told by the given clock, for tests.
    explicit EmulatedSmcDevice(Clock clock);

    static constexpr int kFanCount = 2;

    struct Fan {
        int minimumRpm;
        int maximumRpm;
        double actualRpm;
        int targetRpm;
        bool manual;
    };
    // The state at the device's present time.
    const Fan& fan(int index);
    double cpuTemperature();

  private:
    bool findDevice() override { return true; }
    KernReturn readKey(const std::string& key, std::uint32_t& length,
                       std::uint8_t* payload) override;
    KernReturn writeKey(const std::string& key, std::uint32_t length,
                        const std::uint8_t* payload) override;
    void advance();
    double automaticTargetRpm(const Fan& fan) const;

    Clock clock_;
    double startTime_ = 0.0;
    double lastTime_ = 0.0;
    double temperature_ = 0.0;
    std::array<Fan, kFanCount> fans_{};
};

}  // namespace platform
