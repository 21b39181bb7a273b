#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QThread>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "LegacyMainViewController.h"
#include "LegacySMC.h"
#include "RecordingSmcUserClient.h"
#include "platform/emulated/EmulatedSmcDevice.h"

namespace {

using Write = ScriptedSmcUserClient::Write;
using Writes = std::vector<Write>;

QString utf8(const char* text) {
    return QString::fromUtf8(text);
}

const Write kHandBack = {"FS! ", "ui8 ", {0x00}};

// A dashboard over a scripted SMC with one fan, memory readings from a queue and a clean-up
// that only notes that it ran.
class Actions : public ::testing::Test {
  protected:
    void SetUp() override {
        auto owned = std::make_unique<ScriptedSmcUserClient>();
        smcClient = owned.get();
        smcClient->values = {
            {"FNum", {1}}, {"F0Ac", {0x07, 0xD0}}, {"F0Mn", {0x04, 0xB0}}, {"F0Mx", {0x17, 0x70}}};
        smc = std::make_shared<LegacySMC>(std::move(owned));
        controller = std::make_unique<LegacyMainViewController>(
            smc,
            [this] {
                ++snapshotsTaken;
                LegacyMemorySnapshot snapshot{17179869184ULL, 4294967296ULL, 0, 25.0};
                if (!usedBytes.empty()) {
                    snapshot.usedBytes = usedBytes.front();
                    usedBytes.pop_front();
                }
                return snapshot;
            },
            [this] {
                ++reclaims;
                snapshotsAtReclaim = snapshotsTaken;
                const QCursor* cursor = QApplication::overrideCursor();
                busyDuringReclaim = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
                if (duringReclaim) {
                    duringReclaim();
                }
                return reclaimOutcome;
            });
        controller->view();
        controller->startPolling();
        delete controller->timer();
        snapshotsTaken = 0;
    }

    QString status() const { return controller->statusLabel()->text(); }

    ScriptedSmcUserClient* smcClient = nullptr;
    std::shared_ptr<LegacySMC> smc;
    std::unique_ptr<LegacyMainViewController> controller;
    std::deque<std::uint64_t> usedBytes;
    int snapshotsTaken = 0;
    int reclaims = 0;
    LegacyReclaimOutcome reclaimOutcome = LegacyReclaimOutcome::toolEnded;
    int snapshotsAtReclaim = -1;
    std::function<void()> duringReclaim;
    bool busyDuringReclaim = false;
};

TEST_F(Actions, CleanRamReportsTheWholeMebibytesFreed) {
    struct Case {
        std::uint64_t before;
        std::uint64_t after;
        const char* message;
    };
    const Case cases[] = {
        {10000000000ULL, 10000000000ULL - 3145728, "Освобождено ~3 MB"},
        {10000000000ULL, 10000000000ULL - 1048575, "Освобождено ~0 MB"},
        {10000000000ULL, 5000000000ULL, "Освобождено ~4768 MB"},
        {8ULL << 30, 0, "Освобождено ~8192 MB"},
        {4294967296ULL, 4294967296ULL, "Очистка выполнена"},
        {4294967296ULL, 4294967297ULL, "Очистка выполнена"},
        {0, 0, "Очистка выполнена"},
    };
    for (const Case& c : cases) {
        usedBytes = {c.before, c.after};
        controller->reclaimButton()->click();
        EXPECT_EQ(status(), utf8(c.message)) << c.message;
    }

    // A tool that could not be started or did not do its work (busy, refused) claims nothing,
    // even when memory fell meanwhile; one still at work when the wait gave up is reported only
    // by memory that really fell.
    for (const auto outcome :
         {LegacyReclaimOutcome::toolNotStarted, LegacyReclaimOutcome::toolFailed}) {
        reclaimOutcome = outcome;
        usedBytes = {4294967296ULL, 4294967296ULL - 5242880};
        controller->reclaimButton()->click();
        EXPECT_EQ(status(), utf8("Очистка выполнена"));
    }
    reclaimOutcome = LegacyReclaimOutcome::toolStillRunning;
    usedBytes = {4294967296ULL, 4294967296ULL - 5242880};
    controller->reclaimButton()->click();
    EXPECT_EQ(status(), utf8("Освобождено ~5 MB"));
    usedBytes = {4294967296ULL, 4294967296ULL};
    controller->reclaimButton()->click();
    EXPECT_EQ(status(), utf8("Освобождено ~5 MB")) << "no text claims a clean-up not done";
}

TEST_F(Actions, CleanRamMeasuresAroundTheCleanUpThenRefreshesWithTheBusyCursorMeanwhile) {
    usedBytes = {5ULL << 30, 4ULL << 30, 3ULL << 30};
    controller->reclaimButton()->click();
    EXPECT_EQ(reclaims, 1);
    EXPECT_EQ(snapshotsAtReclaim, 1) << "one reading before the clean-up";
    EXPECT_EQ(snapshotsTaken, 3) << "one after it, and one for the refresh";
    EXPECT_EQ(controller->ramLabel()->text(), utf8("RAM: 3.0 / 16.0 GB (25%)"));
    EXPECT_TRUE(busyDuringReclaim);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(smcClient->writes.empty());

    // Showing the busy cursor runs what is queued; no other action may run inside the clean-up.
    controller->fanManual()->click();
    snapshotsTaken = 0;
    for (QObject* control : std::initializer_list<QObject*>{controller->restoreFanButton(),
                                                            controller->applyFanButton(),
                                                            controller->reclaimButton()}) {
        QMetaObject::invokeMethod(control, "click", Qt::QueuedConnection);
    }
    QMetaObject::invokeMethod(controller->fanManual(), "toggle", Qt::QueuedConnection);
    controller->reclaimButton()->click();
    EXPECT_EQ(reclaims, 2);
    EXPECT_TRUE(smcClient->writes.empty());
    EXPECT_TRUE(controller->fanManual()->isChecked()) << "the box is left as it was";
    EXPECT_TRUE(controller->fanSlider()->isEnabled());
    EXPECT_EQ(snapshotsTaken, 3);
}

TEST_F(Actions, CheckingTheBoxWritesNothingAndUncheckingHandsTheFansBack) {
    controller->fanManual()->click();
    EXPECT_TRUE(controller->fanManual()->isChecked());
    EXPECT_TRUE(controller->fanSlider()->isEnabled());
    EXPECT_TRUE(smcClient->writes.empty());

    controller->fanManual()->click();
    EXPECT_FALSE(controller->fanManual()->isChecked());
    EXPECT_FALSE(controller->fanSlider()->isEnabled());
    EXPECT_EQ(smcClient->writes, Writes{kHandBack});
    EXPECT_EQ(snapshotsTaken, 0) << "the box does not refresh";

    // A screen reader toggles the box through its accessibility action, without a click.
    QAccessibleInterface* box = QAccessible::queryAccessibleInterface(controller->fanManual());
    ASSERT_NE(box, nullptr);
    ASSERT_NE(box->actionInterface(), nullptr);
    box->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_TRUE(controller->fanManual()->isChecked());
    EXPECT_TRUE(controller->fanSlider()->isEnabled());
    EXPECT_EQ(smcClient->writes, Writes{kHandBack});
    box->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_FALSE(controller->fanSlider()->isEnabled());
    EXPECT_EQ(smcClient->writes, (Writes{kHandBack, kHandBack}));
}

TEST_F(Actions, ApplyDoesNothingWhileTheBoxIsOff) {
    controller->applyFanButton()->click();
    EXPECT_TRUE(smcClient->writes.empty());
    EXPECT_EQ(snapshotsTaken, 0);
}

TEST_F(Actions, ApplySendsTheSliderValueToFanZeroAndRefreshes) {
    controller->fanManual()->click();
    controller->fanSlider()->setValue(2500);
    controller->applyFanButton()->click();
    EXPECT_EQ(smcClient->writes, (Writes{{"F0Tg", "ui16", {0x09, 0xC4}}}));
    EXPECT_EQ(snapshotsTaken, 1);

    // With three fans it is still fan 0, and the limits bound what the slider can send.
    smcClient->values["FNum"] = {3};
    controller->fanSlider()->setValue(9000);
    controller->applyFanButton()->click();
    EXPECT_EQ(smcClient->writes.back(), (Write{"F0Tg", "ui16", {0x17, 0x70}}));
}

TEST_F(Actions, ApplyWithTheSmcGoneStillSendsAndFailsQuietly) {
    controller->fanManual()->click();
    smcClient->values.erase("FNum");
    smcClient->answer = [](const LegacySMCParamRecord&, LegacySMCParamRecord&) {
        return platform::kKernFailure;
    };
    controller->applyFanButton()->click();
    EXPECT_EQ(smcClient->exchanges.back().request[32], LegacySMC::kCommandRead)
        << "the refresh after the write";
    EXPECT_EQ(status(), utf8("Quorvel Legacy \u00B7 macOS 10.15+ Intel"));
}

TEST_F(Actions, AutomaticFansUnchecksTheBoxWritesOnceAndRefreshes) {
    controller->fanManual()->click();
    controller->restoreFanButton()->click();
    EXPECT_FALSE(controller->fanManual()->isChecked());
    EXPECT_FALSE(controller->fanSlider()->isEnabled());
    EXPECT_TRUE(controller->fanManual()->isEnabled());
    EXPECT_EQ(smcClient->writes, Writes{kHandBack}) << "unchecking from here sends no action";
    EXPECT_EQ(snapshotsTaken, 1);

    controller->restoreFanButton()->click();
    EXPECT_EQ(smcClient->writes, (Writes{kHandBack, kHandBack})) << "even with the box off";
    EXPECT_EQ(snapshotsTaken, 2);
    EXPECT_EQ(status(), utf8("Quorvel Legacy \u00B7 macOS 10.15+ Intel"));
}

TEST_F(Actions, AnActionRefusedForLackOfRightsSaysSoInTheStatusLine) {
    const QString refused = utf8("Нет прав администратора: действие не выполнено");
    const QString productLine = status();
    smcClient->writeAnswer = platform::kNotPrivileged;
    controller->fanManual()->click();
    controller->applyFanButton()->click();
    controller->applyFanButton()->click();
    EXPECT_EQ(status(), refused);
    smcClient->writeAnswer = platform::kKernSuccess;
    controller->applyFanButton()->click();
    EXPECT_EQ(status(), productLine) << "once a write goes through, the line is as it was";

    for (QAbstractButton* action : std::initializer_list<QAbstractButton*>{
             controller->fanManual(), controller->restoreFanButton()}) {
        smcClient->writeAnswer = platform::kNotPrivileged;
        if (!controller->fanManual()->isChecked()) {
            controller->fanManual()->click();
        }
        action->click();
        EXPECT_EQ(status(), refused) << action->text().toStdString();
        smcClient->writeAnswer = platform::kKernSuccess;
        controller->restoreFanButton()->click();
        EXPECT_EQ(status(), productLine);
    }

    // Another failure of a write shows nothing, as before.
    smcClient->writeAnswer = platform::kKernFailure;
    controller->restoreFanButton()->click();
    EXPECT_EQ(status(), productLine);

    // A clean-up refused says so whatever the readings did meanwhile; a later one says its own.
    reclaimOutcome = LegacyReclaimOutcome::notPermitted;
    usedBytes = {5ULL << 30, 4ULL << 30};
    controller->reclaimButton()->click();
    EXPECT_EQ(status(), refused);
    reclaimOutcome = LegacyReclaimOutcome::toolEnded;
    usedBytes = {5ULL << 30, 5ULL << 30};
    controller->reclaimButton()->click();
    EXPECT_EQ(status(), utf8("Очистка выполнена"));
}

// Ticks that come while an action waits (for the tool, or the password dialog) refresh nothing:
// the action ends with a refresh of its own, and a refresh meanwhile would reach the SMC while
// the action holds it.
TEST_F(Actions, NoTickRefreshesInTheMiddleOfAnAction) {
    controller->startPolling();
    controller->timer()->setInterval(1);
    int refreshesDuringReclaim = -1;
    duringReclaim = [&] {
        const int before = snapshotsTaken;
        for (int i = 0; i < 5; ++i) {
            QThread::msleep(5);
            QCoreApplication::processEvents();
        }
        refreshesDuringReclaim = snapshotsTaken - before;
    };
    controller->reclaimButton()->click();
    EXPECT_EQ(refreshesDuringReclaim, 0);
    delete controller->timer();
}

TEST_F(Actions, NoActionDisablesAButton) {
    usedBytes = {1, 2};
    controller->reclaimButton()->click();
    controller->fanManual()->click();
    controller->applyFanButton()->click();
    controller->restoreFanButton()->click();
    for (QPushButton* button : {controller->reclaimButton(), controller->applyFanButton(),
                                controller->restoreFanButton()}) {
        EXPECT_TRUE(button->isEnabled());
    }
}

TEST(ActionsOnTheEmulatedSmc, AFanFollowsTheSliderUntilTheFansAreHandedBack) {
    double now = 10.0;
    auto owned = std::make_unique<platform::EmulatedSmcDevice>([&now] { return now; });
    platform::EmulatedSmcDevice* device = owned.get();
    LegacyMainViewController controller(
        std::make_shared<LegacySMC>(std::move(owned)), [] { return LegacyMemorySnapshot{}; },
        [] { return LegacyReclaimOutcome::toolEnded; });
    controller.view();
    controller.startPolling();
    delete controller.timer();

    controller.fanManual()->click();
    controller.fanSlider()->setValue(5500);
    controller.applyFanButton()->click();
    EXPECT_TRUE(device->fan(0).manual);
    EXPECT_FALSE(device->fan(1).manual);
    now += 15.0;
    EXPECT_NEAR(device->fan(0).actualRpm, 5500, 20);

    controller.restoreFanButton()->click();
    EXPECT_FALSE(device->fan(0).manual);
    EXPECT_FALSE(controller.fanManual()->isChecked());
}

}  // namespace
