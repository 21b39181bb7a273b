#include <gtest/gtest.h>

#include <QApplication>
#include <QRegularExpression>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LegacyMainViewController.h"
#include "LegacySMC.h"
#include "RecordingSmcUserClient.h"
#include "platform/emulated/EmulatedSmcDevice.h"

namespace {

using Strings = std::vector<std::string>;

QString utf8(const char* text) {
    return QString::fromUtf8(text);
}

const char* const kNoSensor = "CPU: нет датчика (нормально для многих M\u2011чипов)";
const char* const kNoSmc = "AppleSMC недоступен";
const char* const kNoFans = "Вентиляторы: не найдены (пассивное охлаждение)";

// A dashboard over a scripted SMC; each refresh() is one refresh of the window.
class SensorLines : public ::testing::Test {
  protected:
    void SetUp() override {
        auto owned = std::make_unique<ScriptedSmcUserClient>();
        smcClient = owned.get();
        makeController(std::move(owned));
    }

    void makeController(std::unique_ptr<platform::SmcUserClient> client) {
        smc = std::make_shared<LegacySMC>(std::move(client));
        const auto memory = [] {
            return LegacyMemorySnapshot{17179869184ULL, 8589934592ULL, 0, 50.0};
        };
        controller = std::make_unique<LegacyMainViewController>(smc, memory);
        controller->view();
    }

    // The refresh that starts polling, with the timer it leaves stopped again.
    void refresh() {
        controller->startPolling();
        delete controller->timer();
    }

    void setFans(std::uint8_t count, int current, int minimum, int maximum) {
        smcClient->values["FNum"] = {count};
        smcClient->values["F0Ac"] = {std::uint8_t(current >> 8), std::uint8_t(current & 0xFF)};
        smcClient->values["F0Mn"] = {std::uint8_t(minimum >> 8), std::uint8_t(minimum & 0xFF)};
        smcClient->values["F0Mx"] = {std::uint8_t(maximum >> 8), std::uint8_t(maximum & 0xFF)};
    }

    QString tempLine() const { return controller->tempLabel()->text(); }
    QString fanLine() const { return controller->fanLabel()->text(); }

    ScriptedSmcUserClient* smcClient = nullptr;
    std::shared_ptr<LegacySMC> smc;
    std::unique_ptr<LegacyMainViewController> controller;
};

TEST_F(SensorLines, TheTemperatureLineRoundsToWholeDegrees) {
    smcClient->values["TC0P"] = {0x2F, 0x9A};  // 47.6
    refresh();
    EXPECT_EQ(tempLine(), utf8("CPU: 48\u00B0C"));
    smcClient->values["TC0P"] = {0x3D, 0x33};  // 61.2
    refresh();
    EXPECT_EQ(tempLine(), utf8("CPU: 61\u00B0C"));
    EXPECT_EQ(tempLine().toUtf8().right(3), QByteArray("\xC2\xB0"
                                                       "C"));
}

TEST_F(SensorLines, NoPlausibleTemperatureGivesTheNoSensorText) {
    smcClient->values["TC0P"] = {0x80, 0x00};
    refresh();
    EXPECT_EQ(tempLine(), utf8(kNoSensor));
    EXPECT_TRUE(tempLine().toUtf8().contains("M\xE2\x80\x91"));
}

TEST_F(SensorLines, WithoutAnSmcNoFanKeyIsReadAndTheControlsAreDisabled) {
    auto owned = std::make_unique<ScriptedSmcUserClient>();
    owned->service = 0;
    ScriptedSmcUserClient* absent = owned.get();
    makeController(std::move(owned));
    refresh();
    EXPECT_EQ(fanLine(), utf8(kNoSmc));
    EXPECT_EQ(tempLine(), utf8(kNoSensor));
    EXPECT_TRUE(absent->exchanges.empty());
    EXPECT_FALSE(controller->fanManual()->isEnabled());
    EXPECT_FALSE(controller->fanSlider()->isEnabled());
    EXPECT_TRUE(controller->reclaimButton()->isEnabled());
    EXPECT_TRUE(controller->applyFanButton()->isEnabled());
    EXPECT_TRUE(controller->restoreFanButton()->isEnabled());
}

TEST_F(SensorLines, AnUnreadableOrZeroFanCountMeansNoFans) {
    refresh();
    EXPECT_EQ(fanLine(), utf8(kNoFans));
    EXPECT_FALSE(controller->fanManual()->isEnabled());
    EXPECT_FALSE(controller->fanSlider()->isEnabled());
    EXPECT_EQ(smcClient->keysRead.back(), "FNum") << "no speed is read";

    smcClient->values["FNum"] = {0x00, 0x03};
    refresh();
    EXPECT_EQ(fanLine(), utf8(kNoFans));
    EXPECT_FALSE(controller->fanSlider()->isEnabled());
}

TEST_F(SensorLines, TheFanLineNamesTheCountAndTheFirstFansSpeed) {
    setFans(2, 2150, 1200, 6200);
    refresh();
    EXPECT_EQ(fanLine(), utf8("Вентиляторов: 2 \u00B7 Fan1: 2150 об/мин"));
    EXPECT_TRUE(fanLine().startsWith(utf8("Вентиляторов: ")));
    EXPECT_TRUE(fanLine().contains(QStringLiteral(u" \u00B7 Fan1: ")));
    EXPECT_TRUE(controller->fanManual()->isEnabled());
    EXPECT_FALSE(controller->fanSlider()->isEnabled()) << "the box is off";
    EXPECT_EQ(controller->fanSlider()->minimum(), 1200);
    EXPECT_EQ(controller->fanSlider()->maximum(), 6200);
}

TEST_F(SensorLines, OnlyTheFirstByteOfTheCountAndOnlyFanZeroAreRead) {
    setFans(3, 1000, 900, 5000);
    smcClient->values["FNum"] = {0x01, 0x05};
    smcClient->values["TC0P"] = {0x30, 0x00};
    refresh();
    EXPECT_EQ(fanLine(), utf8("Вентиляторов: 1 \u00B7 Fan1: 1000 об/мин"));
    EXPECT_EQ(smcClient->keysRead, (Strings{"TC0P", "FNum", "F0Ac", "F0Mn", "F0Mx"}));

    smcClient->keysRead.clear();
    smcClient->values["FNum"] = {3};
    smcClient->values.erase("TC0P");
    refresh();
    EXPECT_EQ(fanLine(), utf8("Вентиляторов: 3 \u00B7 Fan1: 1000 об/мин"));
    EXPECT_EQ(smcClient->keysRead,
              (Strings{"TC0P", "TC0D", "TC0E", "TCPU", "FNum", "F0Ac", "F0Mn", "F0Mx"}));
}

TEST_F(SensorLines, AnUnreadableSpeedShowsZero) {
    setFans(2, 0, 1200, 6200);
    smcClient->values.erase("F0Ac");
    refresh();
    EXPECT_EQ(fanLine(), utf8("Вентиляторов: 2 \u00B7 Fan1: 0 об/мин"));
    EXPECT_TRUE(controller->fanManual()->isEnabled());
}

TEST_F(SensorLines, TheSliderRangeChangesOnlyWhenBothLimitsAreRead) {
    setFans(1, 2000, 1500, 5500);
    smcClient->values.erase("F0Mx");
    refresh();
    EXPECT_EQ(controller->fanSlider()->minimum(), 1200);
    EXPECT_EQ(controller->fanSlider()->maximum(), 6000);
    EXPECT_TRUE(controller->fanManual()->isEnabled());

    smcClient->keysRead.clear();
    smcClient->values.erase("F0Mn");
    smcClient->values["F0Mx"] = {0x15, 0x7C};
    refresh();
    EXPECT_EQ(controller->fanSlider()->maximum(), 6000);
    EXPECT_EQ(smcClient->keysRead.back(), "F0Mn") << "without a minimum the maximum is not read";
}

TEST_F(SensorLines, LimitsAreAppliedAsReadMinimumFirst) {
    setFans(1, 2000, 2000, 1000);
    refresh();
    // Setting the minimum to 2000 and then the maximum to 1000 leaves the slider at 1000.
    EXPECT_EQ(controller->fanSlider()->minimum(), 1000);
    EXPECT_EQ(controller->fanSlider()->maximum(), 1000);
}

TEST_F(SensorLines, TheSliderFollowsTheCheckboxWhileFansAnswer) {
    setFans(2, 2000, 1200, 6200);
    controller->fanManual()->setChecked(true);
    refresh();
    EXPECT_TRUE(controller->fanSlider()->isEnabled());

    smcClient->values.erase("FNum");
    refresh();
    EXPECT_FALSE(controller->fanManual()->isEnabled());
    EXPECT_FALSE(controller->fanSlider()->isEnabled());
    EXPECT_TRUE(controller->fanManual()->isChecked()) << "the box keeps its state";

    smcClient->values["FNum"] = {2};
    refresh();
    EXPECT_TRUE(controller->fanManual()->isEnabled());
    EXPECT_TRUE(controller->fanSlider()->isEnabled());
}

TEST_F(SensorLines, TheRefreshWritesNoKey) {
    setFans(2, 2000, 1200, 6200);
    controller->fanManual()->setChecked(true);
    refresh();
    refresh();
    EXPECT_TRUE(smcClient->writes.empty());
}

TEST(SensorLinesOnTheEmulatedSmc, ShowLiveTemperatureAndFans) {
    double now = 50.0;
    auto owned = std::make_unique<platform::EmulatedSmcDevice>([&now] { return now; });
    platform::EmulatedSmcDevice* device = owned.get();
    auto smc = std::make_shared<LegacySMC>(std::move(owned));
    LegacyMainViewController controller(smc, [] { return LegacyMemorySnapshot{}; });
    controller.startPolling();
    delete controller.timer();

    EXPECT_TRUE(QRegularExpression(QStringLiteral(u"^CPU: [0-9]{2}\u00B0C$"))
                    .match(controller.tempLabel()->text())
                    .hasMatch())
        << controller.tempLabel()->text().toStdString();
    EXPECT_EQ(controller.fanLabel()->text(),
              utf8("Вентиляторов: 2 \u00B7 Fan1: ") +
                  QString::number(std::lround(device->fan(0).actualRpm)) + utf8(" об/мин"));
    EXPECT_EQ(controller.fanSlider()->minimum(), device->fan(0).minimumRpm);
    EXPECT_EQ(controller.fanSlider()->maximum(), device->fan(0).maximumRpm);
    EXPECT_TRUE(controller.fanManual()->isEnabled());
}

}  // namespace
