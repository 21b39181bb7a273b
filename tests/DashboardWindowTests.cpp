#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "LegacyAppDelegate.h"
#include "LegacyMainViewController.h"
#include "LegacySMC.h"
#include "RecordingSmcUserClient.h"

namespace {

QString utf8(const char* text) {
    return QString::fromUtf8(text);
}

void processEventsFor(int milliseconds) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < milliseconds) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

// A controller over an SMC without a service and memory figures set by the test.
class Dashboard : public ::testing::Test {
  protected:
    void SetUp() override {
        auto client = std::make_unique<RecordingSmcUserClient>();
        client->service = 0;
        smcClient = client.get();
        smc = std::make_shared<LegacySMC>(std::move(client));
        controller = makeController();
    }

    std::unique_ptr<LegacyMainViewController> makeController() {
        return std::make_unique<LegacyMainViewController>(smc, [this] {
            ++snapshotsTaken;
            return memory;
        });
    }

    // The views of the column, top to bottom.
    std::vector<QWidget*> columnRows() {
        QWidget* column = controller->view()->layout()->itemAt(0)->widget();
        std::vector<QWidget*> rows;
        for (int i = 0; i < column->layout()->count(); ++i) {
            rows.push_back(column->layout()->itemAt(i)->widget());
        }
        return rows;
    }

    RecordingSmcUserClient* smcClient = nullptr;
    std::shared_ptr<LegacySMC> smc;
    LegacyMemorySnapshot memory{17179869184ULL, 8589934592ULL, 0, 50.0};
    int snapshotsTaken = 0;
    std::unique_ptr<LegacyMainViewController> controller;
};

void expectHeading(QWidget* row, const char* text) {
    auto* label = qobject_cast<QLabel*>(row);
    ASSERT_NE(label, nullptr) << text;
    EXPECT_EQ(label->text(), utf8(text));
    EXPECT_TRUE(label->font().bold()) << text;
    EXPECT_EQ(label->font().pointSizeF(), 15.0) << text;
}

void expectSeparator(QWidget* row) {
    auto* frame = qobject_cast<QFrame*>(row);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(qobject_cast<QLabel*>(row), nullptr);
    EXPECT_EQ(frame->frameShape(), QFrame::HLine);
}

TEST_F(Dashboard, TheColumnHasItsFifteenRowsInOrder) {
    const std::vector<QWidget*> rows = columnRows();
    ASSERT_EQ(rows.size(), 15u);
    expectHeading(rows[0], "Очистка ОЗУ и мониторинг");
    EXPECT_EQ(rows[1], controller->statusLabel());
    EXPECT_EQ(rows[2], controller->ramLabel());
    EXPECT_EQ(rows[3], controller->swapLabel());
    EXPECT_EQ(rows[4], controller->reclaimButton());
    expectSeparator(rows[5]);
    expectHeading(rows[6], "Температура");
    EXPECT_EQ(rows[7], controller->tempLabel());
    expectSeparator(rows[8]);
    expectHeading(rows[9], "Вентиляторы (Intel SMC)");
    EXPECT_EQ(rows[10], controller->fanLabel());
    EXPECT_EQ(rows[11], controller->fanManual());
    EXPECT_EQ(rows[12], controller->fanSlider());
    EXPECT_EQ(rows[13], controller->applyFanButton());
    EXPECT_EQ(rows[14], controller->restoreFanButton());
}

TEST_F(Dashboard, StartsWithItsInitialTextsCodePointForCodePoint) {
    // Written with the code points spelled out, so that a look-alike character cannot pass.
    EXPECT_EQ(controller->ramLabel()->text(), QStringLiteral(u"RAM: \u2014"));
    EXPECT_EQ(controller->swapLabel()->text(), QStringLiteral(u"Swap: \u2014"));
    EXPECT_EQ(controller->fanLabel()->text(),
              QStringLiteral(u"\u0412\u0435\u043D\u0442\u0438\u043B\u044F\u0442\u043E\u0440\u044B"
                             u": \u2014"));
    EXPECT_EQ(controller->statusLabel()->text(),
              QStringLiteral(u"Quorvel Legacy \u00B7 macOS 10.15+ Intel"));
    EXPECT_EQ(controller->fanManual()->text(),
              QStringLiteral(u"\u0420\u0443\u0447\u043D\u0430\u044F \u0441\u043A\u043E\u0440"
                             u"\u043E\u0441\u0442\u044C (Intel)"));
    EXPECT_EQ(controller->reclaimButton()->text(),
              QStringLiteral(u"\u041E\u0447\u0438\u0441\u0442\u0438\u0442\u044C \u041E\u0417"
                             u"\u0423"));
    EXPECT_EQ(controller->applyFanButton()->text(),
              QStringLiteral(u"\u041F\u0440\u0438\u043C\u0435\u043D\u0438\u0442\u044C \u043E"
                             u"\u0431\u043E\u0440\u043E\u0442\u044B"));
    EXPECT_EQ(controller->restoreFanButton()->text(),
              QStringLiteral(u"\u0410\u0432\u0442\u043E-\u0432\u0435\u043D\u0442\u0438\u043B"
                             u"\u044F\u0442\u043E\u0440\u044B"));
    EXPECT_FALSE(controller->tempLabel()->text().isEmpty());
    EXPECT_EQ(controller->timer(), nullptr);
}

TEST_F(Dashboard, StartsEnabledUncheckedWithTheSliderAt2500Within1200To6000) {
    controller->view();
    QSlider* slider = controller->fanSlider();
    EXPECT_EQ(slider->orientation(), Qt::Horizontal);
    EXPECT_EQ(slider->value(), 2500);
    EXPECT_EQ(slider->minimum(), 1200);
    EXPECT_EQ(slider->maximum(), 6000);
    EXPECT_EQ(slider->accessibleName(), QString::fromUtf8("Ручная скорость (Intel)"));
    EXPECT_FALSE(controller->fanManual()->isChecked());
    for (QWidget* control :
         {static_cast<QWidget*>(slider), static_cast<QWidget*>(controller->fanManual()),
          static_cast<QWidget*>(controller->reclaimButton()),
          static_cast<QWidget*>(controller->applyFanButton()),
          static_cast<QWidget*>(controller->restoreFanButton())}) {
        EXPECT_TRUE(control->isEnabled());
    }
}

TEST_F(Dashboard, OnlyHeadingsChangeTheirFont) {
    const QFont standard = QApplication::font();
    for (QLabel* label : {controller->ramLabel(), controller->swapLabel(), controller->tempLabel(),
                          controller->fanLabel(), controller->statusLabel()}) {
        EXPECT_FALSE(label->font().bold());
        EXPECT_EQ(label->font().pointSizeF(), standard.pointSizeF());
    }
}

TEST_F(Dashboard, TheColumnHangsFromTheTopLeftAndDoesNotStretch) {
    QWidget* view = controller->view();
    EXPECT_EQ(view->size(), QSize(520, 620));
    view->show();
    QApplication::processEvents();
    QWidget* column = view->layout()->itemAt(0)->widget();
    const QRect before = column->geometry();
    EXPECT_EQ(before.topLeft(), QPoint(24, 24));
    EXPECT_LE(before.right(), 520 - 24);
    EXPECT_EQ(controller->fanSlider()->width(), 360);
    for (QWidget* row : columnRows()) {
        EXPECT_EQ(row->x(), 0) << "every row starts at the leading edge";
    }

    view->resize(1000, 900);
    QApplication::processEvents();
    EXPECT_EQ(column->geometry(), before);
    EXPECT_EQ(controller->fanSlider()->width(), 360);
}

TEST_F(Dashboard, TheViewIsBuiltOnce) {
    QWidget* first = controller->view();
    EXPECT_EQ(controller->view(), first);
    EXPECT_EQ(columnRows().size(), 15u);

    // A window that goes first takes the view and its controls with it.
    delete first;
    EXPECT_EQ(controller->view(), nullptr);
    EXPECT_EQ(controller->ramLabel(), nullptr);
}

TEST_F(Dashboard, PollingRefreshesAtOnceBeforeAnyTick) {
    controller->startPolling();
    EXPECT_EQ(snapshotsTaken, 1);
    EXPECT_EQ(controller->ramLabel()->text(), utf8("RAM: 8.0 / 16.0 GB (50%)"));
    EXPECT_EQ(controller->swapLabel()->text(), utf8("Swap: 0.0 MB"));
    ASSERT_NE(controller->timer(), nullptr);
    EXPECT_TRUE(controller->timer()->isActive());
    EXPECT_FALSE(controller->timer()->isSingleShot());
    EXPECT_EQ(controller->timer()->interval(), 2000);
}

struct MemoryLines {
    LegacyMemorySnapshot snapshot;
    const char* ramLine;
    const char* swapLine;
};

TEST_F(Dashboard, WritesTheMemoryLinesWithoutALocale) {
    const MemoryLines cases[] = {
        {{17179869184ULL, 8589934592ULL, 0, 50.0}, "RAM: 8.0 / 16.0 GB (50%)", "Swap: 0.0 MB"},
        {{8589934592ULL, 1610612736ULL, 536870912ULL, 18.75},
         "RAM: 1.5 / 8.0 GB (19%)",
         "Swap: 512.0 MB"},
        {{8589934592ULL, 8555000000ULL, 3221225472ULL, 99.6},
         "RAM: 8.0 / 8.0 GB (100%)",
         "Swap: 3072.0 MB"},
        {{0, 0, 0, 0.0}, "RAM: 0.0 / 0.0 GB (0%)", "Swap: 0.0 MB"},
        {{17179869184ULL, 0, 1, 0.0}, "RAM: 0.0 / 16.0 GB (0%)", "Swap: 0.0 MB"},
        {{1ULL << 62, 1ULL << 61, 1ULL << 50, 50.0},
         "RAM: 2147483648.0 / 4294967296.0 GB (50%)",
         "Swap: 1073741824.0 MB"},
    };
    for (const MemoryLines& lines : cases) {
        memory = lines.snapshot;
        auto fresh = makeController();
        fresh->startPolling();
        EXPECT_EQ(fresh->ramLabel()->text(), utf8(lines.ramLine));
        EXPECT_EQ(fresh->swapLabel()->text(), utf8(lines.swapLine));
    }
}

TEST_F(Dashboard, TicksRefreshOnTheMainThreadUntilTheControllerIsGone) {
    controller->startPolling();
    QPointer<QTimer> timer = controller->timer();
    timer->setInterval(20);
    memory.swapUsedBytes = 536870912ULL;
    processEventsFor(300);
    EXPECT_GE(snapshotsTaken, 3);
    EXPECT_EQ(controller->swapLabel()->text(), utf8("Swap: 512.0 MB"));

    controller.reset();
    const int takenBeforeRelease = snapshotsTaken;
    processEventsFor(200);
    EXPECT_EQ(snapshotsTaken, takenBeforeRelease);
    ASSERT_FALSE(timer.isNull()) << "the timer outlives the controller and keeps ticking";
    EXPECT_TRUE(timer->isActive());
    delete timer.data();
}

TEST_F(Dashboard, MovingTheSliderChangesNothingElse) {
    controller->view();
    controller->startPolling();
    const QString ramLine = controller->ramLabel()->text();
    controller->fanSlider()->setValue(4000);
    QApplication::processEvents();
    EXPECT_EQ(snapshotsTaken, 1);
    EXPECT_EQ(controller->ramLabel()->text(), ramLine);
    EXPECT_TRUE(smcClient->exchanges.empty());
}

class MessageCapture {
  public:
    MessageCapture() {
        messages().clear();
        previous_ = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { messages() << text; });
    }
    ~MessageCapture() { qInstallMessageHandler(previous_); }
    static QStringList& messages() {
        static QStringList list;
        return list;
    }

  private:
    QtMessageHandler previous_;
};

TEST(MainThreadCheck, WarnsWithUnitAndLineOffTheMainThreadAndCarriesOn) {
    LegacyAppDelegate delegate;
    MessageCapture capture;
    EXPECT_TRUE(delegate.applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_TRUE(MessageCapture::messages().isEmpty());

    bool answer = false;
    std::thread([&] {
        answer = delegate.applicationShouldTerminateAfterLastWindowClosed();
    }).join();
    EXPECT_TRUE(answer);
    ASSERT_EQ(MessageCapture::messages().size(), 1);
    EXPECT_TRUE(MessageCapture::messages()[0].contains(
        QRegularExpression(QStringLiteral("^LegacyAppDelegate:[0-9]+: "))))
        << MessageCapture::messages()[0].toStdString();
}

TEST(Launch, OpensTheTitledWindowCentredWithLiveMemoryLines) {
    LegacyAppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    QWidget* window = delegate.window();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(delegate.controller(), nullptr);
    EXPECT_EQ(window->windowTitle(), utf8("Quorvel Legacy"));
    EXPECT_EQ(window->size(), QSize(520, 620));
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isWindow());
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_NE(window->minimumSize(), window->maximumSize()) << "the window can be resized";
    // The icon comes once the first frame is on screen.
    for (int turn = 0; turn < 20 && window->windowIcon().isNull(); ++turn) {
        QCoreApplication::processEvents();
    }
    const QList<QSize> iconSizes = window->windowIcon().availableSizes();
    EXPECT_TRUE(iconSizes.contains(QSize(16, 16)) && iconSizes.contains(QSize(256, 256)))
        << "the window carries the program's icon";

    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window->frameGeometry().center() - screen.center()).manhattanLength(), 2);

    EXPECT_TRUE(delegate.controller()->view()->isAncestorOf(delegate.controller()->ramLabel()));
    EXPECT_TRUE(window->isAncestorOf(delegate.controller()->view()));
    // The first readings are this machine's, on screen before any tick.
    const QRegularExpression ramLine(
        QStringLiteral("^RAM: [0-9]+\\.[0-9] / [0-9]+\\.[0-9] GB "
                       "\\([0-9]+%\\)$"));
    EXPECT_TRUE(ramLine.match(delegate.controller()->ramLabel()->text()).hasMatch())
        << delegate.controller()->ramLabel()->text().toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Swap: [0-9]+\\.[0-9] MB$"))
                    .match(delegate.controller()->swapLabel()->text())
                    .hasMatch());
    delete delegate.controller()->timer();
}

}  // namespace
