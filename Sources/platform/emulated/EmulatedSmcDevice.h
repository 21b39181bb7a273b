#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "../SmcUserClient.h"

namespace platform {

// An SMC of our own, spoken to through the user client's record exactly as the program speaks
// to a real one: selector 2, command 5 reads a key, command 6 writes one. It has two fans and
// CPU temperatures that drift with time and fall as the fans speed up. A fan follows the SMC's
// own curve until a target is written for it; then it moves toward that target until the fans
// are handed back ("FS! " = 0).
class EmulatedSmcDevice final : public SmcUserClient {
  public:
    using Clock = std::function<double()>;  // seconds, monotonic

    // A device whose time is the machine's monotonic clock.
    EmulatedSmcDevice();
    // A device whose time is told by the given clock, for tests.
    explicit EmulatedSmcDevice(Clock clock);

    std::uint32_t matchingService(const char* serviceName) override;
    KernReturn serviceOpen(std::uint32_t service, std::uint32_t type,
                           std::uint32_t* connection) override;
    KernReturn objectRelease(std::uint32_t object) override;
    KernReturn callStructMethod(std::uint32_t connection, std::uint32_t selector, const void* input,
                                std::size_t inputSize, void* output,
                                std::size_t* outputSize) override;
    KernReturn serviceClose(std::uint32_t connection) override;

    static constexpr int kFanCount = 2;
    static constexpr std::uint32_t kService = 0x534D43;  // "SMC"
    static constexpr std::uint32_t kConnection = 0x1;
    // Answered for a key the device does not have, or a write it does not take.
    static constexpr KernReturn kKeyNotFound = 0x84;
    static constexpr KernReturn kBadArgument = 0x85;

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
    void advance();
    double automaticTargetRpm(const Fan& fan) const;
    KernReturn read(const std::string& key, std::uint32_t& length, std::uint8_t* payload);
    KernReturn write(const std::string& key, std::uint32_t length, const std::uint8_t* payload);

    Clock clock_;
    double startTime_ = 0.0;
    double lastTime_ = 0.0;
    double temperature_ = 0.0;
    std::array<Fan, kFanCount> fans_{};
    bool open_ = false;
};

}  // namespace platform
