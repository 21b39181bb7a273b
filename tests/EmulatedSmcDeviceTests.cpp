#include <gtest/gtest.h>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "LegacySMC.h"
#include "platform/emulated/EmulatedSmcDevice.h"

namespace {

using platform::EmulatedSmcDevice;

// The device under a clock the test moves by hand, reached through the program's SMC object.
class EmulatedSmc : public ::testing::Test {
  protected:
    EmulatedSmc() {
        auto owned = std::make_unique<EmulatedSmcDevice>([this] { return now; });
        device = owned.get();
        smc = std::make_unique<LegacySMC>(std::move(owned));
    }
    void runFor(double seconds) {
        for (double t = 0; t < seconds; t += 0.5) {
            now += 0.5;
            device->cpuTemperature();
        }
    }

    double now = 1000.0;
    EmulatedSmcDevice* device;
    std::unique_ptr<LegacySMC> smc;
};

TEST_F(EmulatedSmc, IsFoundAndAnswersTheKeysTheProgramReads) {
    ASSERT_TRUE(smc->isAvailable());
    EXPECT_EQ(smc->readKey("FNum"), (std::vector<std::uint8_t>{2}));
    const auto temperature = smc->cpuTemperatureCelsius();
    ASSERT_TRUE(temperature.has_value());
    EXPECT_GT(*temperature, 30.0);
    EXPECT_LT(*temperature, 90.0);
    for (int fan = 0; fan < 2; ++fan) {
        const auto minimum = smc->rpm(LegacySMC::fanKey("F%dMn", fan));
        const auto maximum = smc->rpm(LegacySMC::fanKey("F%dMx", fan));
        const auto actual = smc->rpm(LegacySMC::fanKey("F%dAc", fan));
        ASSERT_TRUE(minimum && maximum && actual);
        EXPECT_LT(*minimum, *maximum);
        EXPECT_GE(*actual, *minimum);
        EXPECT_LE(*actual, *maximum);
    }
    EXPECT_EQ(smc->readKey("F2Ac"), std::nullopt);
    EXPECT_EQ(smc->readKey("ABCD"), std::nullopt);
}

TEST_F(EmulatedSmc, TemperaturesDriftWithinAPlausibleRange) {
    double lowest = 200.0;
    double highest = 0.0;
    for (int step = 0; step < 240; ++step) {
        now += 0.5;
        const auto temperature = smc->cpuTemperatureCelsius();
        ASSERT_TRUE(temperature.has_value());
        lowest = std::min(lowest, *temperature);
        highest = std::max(highest, *temperature);
    }
    EXPECT_GT(lowest, 25.0);
    EXPECT_LT(highest, 100.0);
    EXPECT_GT(highest - lowest, 3.0) << "the temperature moves";
}

TEST_F(EmulatedSmc, AManualTargetIsApproachedAndHandingBackEndsIt) {
    ASSERT_TRUE(smc->setFanTargetRPM(0, 5000));
    runFor(10);
    EXPECT_NEAR(*smc->rpm("F0Ac"), 5000, 50);
    EXPECT_EQ(smc->rpm("F0Tg"), 5000);
    EXPECT_EQ(smc->readKey("FS! "), (std::vector<std::uint8_t>{0x00, 0x01}));

    // Below the fan's minimum it settles at the minimum.
    ASSERT_TRUE(smc->setFanTargetRPM(0, 0));
    runFor(10);
    EXPECT_NEAR(*smc->rpm("F0Ac"), *smc->rpm("F0Mn"), 50);

    ASSERT_TRUE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    EXPECT_EQ(smc->readKey("FS! "), (std::vector<std::uint8_t>{0x00, 0x00}));
    EXPECT_FALSE(device->fan(0).manual);
}

TEST_F(EmulatedSmc, FasterFansCoolTheCpu) {
    // A twin that started at the same moment and keeps its fans on the SMC's own curve.
    EmulatedSmcDevice twin([this] { return now; });
    ASSERT_TRUE(smc->setFanTargetRPM(0, 6200));
    ASSERT_TRUE(smc->setFanTargetRPM(1, 6200));
    for (int step = 0; step < 60; ++step) {
        now += 0.5;
        twin.cpuTemperature();
        device->cpuTemperature();
    }
    EXPECT_LT(device->cpuTemperature(), twin.cpuTemperature() - 2.0);
}

TEST_F(EmulatedSmc, RefusesWhatARealSmcWould) {
    EXPECT_FALSE(smc->writeKey("F0Ac", "ui16", {0x10, 0x00})) << "read-only key";
    EXPECT_FALSE(smc->writeKey("F5Tg", "ui16", {0x10, 0x00})) << "no such fan";
    EXPECT_FALSE(smc->writeKey("F2Tg", "ui16", {0x10, 0x00})) << "one past the last fan";
    EXPECT_FALSE(smc->writeKey("F0Tg", "ui8 ", {0x10})) << "wrong length";
    EXPECT_FALSE(smc->writeKey("ABCD", "ui8 ", {0x00}));
    EXPECT_FALSE(device->fan(0).manual);

    LegacySMCParamRecord request{};
    LegacySMCParamRecord reply{};
    std::size_t replySize = sizeof reply;
    request.keyCode = LegacySMC::fourChar("FNum");
    request.command = 9;
    EXPECT_NE(device->callStructMethod(EmulatedSmcDevice::kConnection, 2, &request, sizeof request,
                                       &reply, &replySize),
              0);
    request.command = LegacySMC::kCommandRead;
    EXPECT_NE(device->callStructMethod(EmulatedSmcDevice::kConnection, 3, &request, sizeof request,
                                       &reply, &replySize),
              0);
    EXPECT_NE(device->callStructMethod(EmulatedSmcDevice::kConnection, 2, &request, 80, &reply,
                                       &replySize),
              0);
}

TEST_F(EmulatedSmc, ALongPauseIsCaughtUpQuickly) {
    now += 365.0 * 24 * 3600;
    const auto temperature = smc->cpuTemperatureCelsius();
    ASSERT_TRUE(temperature.has_value());
    EXPECT_GT(*temperature, 25.0);
    EXPECT_LT(*temperature, 100.0);
}

}  // namespace
