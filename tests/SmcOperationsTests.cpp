#include <gtest/gtest.h>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "LegacySMC.h"
#include "RecordingSmcUserClient.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

class SmcOperations : public ::testing::Test {
  protected:
    SmcOperations() {
        auto owned = std::make_unique<ScriptedSmcUserClient>();
        client = owned.get();
        smc = std::make_unique<LegacySMC>(std::move(owned));
    }
    ScriptedSmcUserClient* client;
    std::unique_ptr<LegacySMC> smc;
};

TEST_F(SmcOperations, TemperaturesAreUnsignedEightDotEight) {
    client->values["TC0P"] = {0x2D, 0x80};
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 45.5);
    client->values["TC0P"] = {0x30, 0x00, 0x99};
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 48.0);
}

TEST_F(SmcOperations, OnlyTemperaturesStrictlyBetweenFiveAnd120AreBelieved) {
    struct Case {
        Bytes bytes;
        std::optional<double> celsius;
    };
    const Case cases[] = {
        {{0x05, 0x00}, std::nullopt}, {{0x05, 0x01}, 5.00390625},   {{0x78, 0x00}, std::nullopt},
        {{0x77, 0xFF}, 119.99609375}, {{0x80, 0x00}, std::nullopt}, {{0x00, 0x00}, std::nullopt},
        {{0xFF, 0xFF}, std::nullopt},
    };
    for (const Case& c : cases) {
        client->values = {{"TC0P", c.bytes}};
        EXPECT_EQ(smc->cpuTemperatureCelsius(), c.celsius)
            << int(c.bytes[0]) << " " << int(c.bytes[1]);
    }
}

TEST_F(SmcOperations, TheFirstPlausibleKeyInOrderWinsAndTheRestAreNotRead) {
    client->values = {{"TC0D", {0x30, 0x00}}, {"TC0E", {0x40, 0x00}}, {"TCPU", {0x50, 0x00}}};
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 48.0);
    EXPECT_EQ(client->keysRead, (Strings{"TC0P", "TC0D"}));

    client->keysRead.clear();
    client->values["TC0P"] = {0x00, 0x00};
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 48.0);
    EXPECT_EQ(client->keysRead, (Strings{"TC0P", "TC0D"}));

    client->keysRead.clear();
    client->values = {{"TC0P", {0x31}}, {"TC0D", {0x90, 0x00}}, {"TCPU", {0x32, 0x40}}};
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 50.25);
    EXPECT_EQ(client->keysRead, (Strings{"TC0P", "TC0D", "TC0E", "TCPU"}));
}

TEST_F(SmcOperations, NoTemperatureWhenEveryKeyFails) {
    EXPECT_EQ(smc->cpuTemperatureCelsius(), std::nullopt);
    EXPECT_EQ(client->keysRead, (Strings{"TC0P", "TC0D", "TC0E", "TCPU"}));

    RecordingSmcUserClient absent;
    absent.service = 0;
    LegacySMC unavailable(std::make_unique<RecordingSmcUserClient>(absent));
    EXPECT_EQ(unavailable.cpuTemperatureCelsius(), std::nullopt);
}

TEST_F(SmcOperations, FanSpeedsArePlainBigEndianSixteenBits) {
    client->values = {{"F0Ac", {0x07, 0xD0}}, {"F0Mx", {0xFF, 0xFF, 0x01}}, {"F0Mn", {0x07}}};
    EXPECT_EQ(smc->rpm("F0Ac"), 2000);
    EXPECT_EQ(smc->rpm("F0Mx"), 65535);
    EXPECT_EQ(smc->rpm("F0Mn"), std::nullopt);
    EXPECT_EQ(smc->rpm("F1Ac"), std::nullopt);
    EXPECT_EQ(smc->rpm("F10Ac"), std::nullopt);
}

TEST_F(SmcOperations, ATargetIsClampedAndWrittenAsUi16) {
    EXPECT_TRUE(smc->setFanTargetRPM(0, 1200));
    EXPECT_TRUE(smc->setFanTargetRPM(0, -5));
    EXPECT_TRUE(smc->setFanTargetRPM(1, 70000));
    EXPECT_TRUE(smc->setFanTargetRPM(9, 2500));
    using Write = ScriptedSmcUserClient::Write;
    const std::vector<Write> expected = {{"F0Tg", "ui16", {0x04, 0xB0}},
                                         {"F0Tg", "ui16", {0x00, 0x00}},
                                         {"F1Tg", "ui16", {0xFF, 0xFF}},
                                         {"F9Tg", "ui16", {0x09, 0xC4}}};
    EXPECT_EQ(client->writes, expected);
    EXPECT_TRUE(client->keysRead.empty()) << "a target write reads nothing";
}

TEST_F(SmcOperations, AFanIndexOutsideZeroToNineMakesNoCall) {
    EXPECT_FALSE(smc->setFanTargetRPM(10, 2000));
    EXPECT_FALSE(smc->setFanTargetRPM(-1, 2000));
    EXPECT_TRUE(client->exchanges.empty());
    EXPECT_EQ(LegacySMC::fanKey("F%dTg", 10), "F10Tg");
    EXPECT_EQ(LegacySMC::fanKey("F%dAc", 0), "F0Ac");
}

TEST_F(SmcOperations, AFailedTargetWriteIsFalse) {
    client->callResult = platform::kKernFailure;
    EXPECT_FALSE(smc->setFanTargetRPM(0, 2000));
}

}  // namespace
