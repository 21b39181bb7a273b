#include "LegacyMainViewController.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QString>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "LegacySMC.h"
#include "LocaleFreeFormat.h"
#include "MainThreadCheck.h"

namespace {

constexpr const char* kUnit = "LegacyMainViewController";

constexpr int kViewWidth = 520;
constexpr int kViewHeight = 620;
constexpr int kMargin = 24;
constexpr int kRowSpacing = 10;
constexpr int kSliderWidth = 360;
constexpr double kHeadingPointSize = 15.0;
constexpr int kPollingIntervalMs = 2000;

constexpr int kSliderInitialRpm = 2500;
constexpr int kSliderMinimumRpm = 1200;
constexpr int kSliderMaximumRpm = 6000;

// The status line when an action needs an administrator's rights and did not get them.
constexpr const char* kNoRightsText = "Нет прав администратора: действие не выполнено";

constexpr double kBytesPerGB = 1073741824.0;
constexpr double kBytesPerMB = 1048576.0;

QLabel* makeLabel(const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text));
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

QLabel* makeHeading(const char* text) {
    QLabel* heading = makeLabel(text);
    QFont font = heading->font();
    font.setBold(true);
    font.setPointSizeF(kHeadingPointSize);
    heading->setFont(font);
    return heading;
}

QFrame* makeSeparator() {
    auto* separator = new QFrame;
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    return separator;
}

QSlider* makeSlider(int value, int minimum, int maximum) {
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(minimum, maximum);
    slider->setValue(value);
    return slider;
}

void setText(QLabel* label, const std::string& text) {
    label->setText(QString::fromStdString(text));
}

// Marks an action as under way for as long as it lives; false when one already was.
class ActionGuard {
  public:
    explicit ActionGuard(bool& inProgress) : inProgress_(inProgress), entered_(!inProgress) {
        inProgress_ = true;
    }
    ~ActionGuard() {
        if (entered_) {
            inProgress_ = false;
        }
    }
    ActionGuard(const ActionGuard&) = delete;
    ActionGuard& operator=(const ActionGuard&) = delete;

    explicit operator bool() const { return entered_; }

  private:
    bool& inProgress_;
    const bool entered_;
};

}  // namespace

LegacyMainViewController::LegacyMainViewController()
    : LegacyMainViewController(nullptr, [] { return LegacyMemory::snapshot(); }) {}

LegacyMainViewController::LegacyMainViewController(std::shared_ptr<LegacySMC> smc,
                                                   SnapshotSource takeSnapshot,
                                                   ReclaimAction reclaimMemory)
    : ramLabel_(makeLabel("RAM: \u2014")),
      swapLabel_(makeLabel("Swap: \u2014")),
      tempLabel_(makeLabel("CPU: \u2014")),
      fanLabel_(makeLabel("Вентиляторы: \u2014")),
      fanSlider_(makeSlider(kSliderInitialRpm, kSliderMinimumRpm, kSliderMaximumRpm)),
      fanManual_(new QCheckBox(QString::fromUtf8("Ручная скорость (Intel)"))),
      statusLabel_(makeLabel("Quorvel Legacy \u00B7 macOS 10.15+ Intel")),
      timer_(nullptr),
      // The program's first use of the shared SMC object creates it and opens the connection.
      smc_(smc ? std::move(smc) : LegacySMC::shared()),
      reclaimButton_(new QPushButton(QString::fromUtf8("Очистить ОЗУ"))),
      applyFanButton_(new QPushButton(QString::fromUtf8("Применить обороты"))),
      restoreFanButton_(new QPushButton(QString::fromUtf8("Авто-вентиляторы"))),
      takeSnapshot_(std::move(takeSnapshot)),
      reclaimMemory_(reclaimMemory ? std::move(reclaimMemory)
                                   : [] { return LegacyMemory::reclaim(); }) {
    LEGACY_CHECK_MAIN_THREAD(kUnit);
}

LegacyMainViewController::~LegacyMainViewController() {
    // The view holds the controls once laid out; controls never laid out are held here alone.
    delete view_.data();
    for (QWidget* control :
         {static_cast<QWidget*>(ramLabel_), static_cast<QWidget*>(swapLabel_),
          static_cast<QWidget*>(tempLabel_), static_cast<QWidget*>(fanLabel_),
          static_cast<QWidget*>(fanSlider_), static_cast<QWidget*>(fanManual_),
          static_cast<QWidget*>(statusLabel_), static_cast<QWidget*>(reclaimButton_),
          static_cast<QWidget*>(applyFanButton_), static_cast<QWidget*>(restoreFanButton_)}) {
        delete control;
    }
}

QWidget* LegacyMainViewController::view() {
    if (!viewLoaded_) {
        viewLoaded_ = true;
        loadView();
    }
    return view_;
}

void LegacyMainViewController::loadView() {
    LEGACY_CHECK_MAIN_THREAD(kUnit);
    view_ = new QWidget;
    view_->resize(kViewWidth, kViewHeight);
    layoutUI();

    connect(reclaimButton_, &QPushButton::clicked, this, &LegacyMainViewController::reclaimRAM);
    // Every change of the box by the user: a click, a key, or a screen reader's toggle action,
    // which changes the state without a click. A state set from code is set with its signals
    // blocked, and so sends no action.
    connect(fanManual_, &QCheckBox::toggled, this, [this] { toggleFanManual(); });
    connect(applyFanButton_, &QPushButton::clicked, this, &LegacyMainViewController::applyFan);
    connect(restoreFanButton_, &QPushButton::clicked, this, &LegacyMainViewController::restoreFans);
}

void LegacyMainViewController::layoutUI() {
    // The column sizes itself to its widest row and hangs from the top-left corner.
    auto* column = new QWidget;
    auto* rows = new QVBoxLayout(column);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(kRowSpacing);

    // Separators span the column; every other row keeps its own width at the leading edge.
    struct ColumnRow {
        QWidget* view;
        bool spansColumn;
    };
    const ColumnRow columnRows[] = {
        {makeHeading("Очистка ОЗУ и мониторинг"), false},
        {statusLabel_, false},
        {ramLabel_, false},
        {swapLabel_, false},
        {reclaimButton_, false},
        {makeSeparator(), true},
        {makeHeading("Температура"), false},
        {tempLabel_, false},
        {makeSeparator(), true},
        {makeHeading("Вентиляторы (Intel SMC)"), false},
        {fanLabel_, false},
        {fanManual_, false},
        {fanSlider_, false},
        {applyFanButton_, false},
        {restoreFanButton_, false},
    };
    for (const ColumnRow& row : columnRows) {
        rows->addWidget(row.view, 0, row.spansColumn ? Qt::Alignment() : Qt::AlignLeft);
    }
    fanSlider_->setFixedWidth(kSliderWidth);
    // A screen reader names the slider by the check box that enables it.
    fanSlider_->setAccessibleName(fanManual_->text());

    auto* root = new QVBoxLayout(view_);
    root->setContentsMargins(kMargin, kMargin, kMargin, 0);
    root->setSpacing(0);
    root->addWidget(column, 0, Qt::AlignLeft | Qt::AlignTop);
    root->addStretch(1);
}

void LegacyMainViewController::startPolling() {
    refresh();

    // The event loop owns the timer, as a run loop keeps a scheduled timer; the timer holds
    // the controller only weakly, so ticks after the controller is gone do nothing.
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(kPollingIntervalMs);
    QPointer<LegacyMainViewController> weakSelf(this);
    connect(timer, &QTimer::timeout, timer, [weakSelf] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weakSelf] {
                LEGACY_CHECK_MAIN_THREAD(kUnit);
                // An action under way ends with a refresh of its own.
                if (weakSelf && !weakSelf->actionInProgress_) {
                    weakSelf->refresh();
                }
            },
            Qt::QueuedConnection);
    });
    timer->start();
    timer_ = timer;
}

void LegacyMainViewController::refresh() {
    const LegacyMemorySnapshot memory = takeSnapshot_();
    setText(ramLabel_, formatWithoutLocale("RAM: %.1f / %.1f GB (%.0f%%)",
                                           static_cast<double>(memory.usedBytes) / kBytesPerGB,
                                           static_cast<double>(memory.totalBytes) / kBytesPerGB,
                                           memory.usedPercent));
    setText(swapLabel_,
            formatWithoutLocale("Swap: %.1f MB",
                                static_cast<double>(memory.swapUsedBytes) / kBytesPerMB));
    refreshTemperature();
    refreshFans();
}

void LegacyMainViewController::refreshTemperature() {
    const std::optional<double> celsius = smc_->cpuTemperatureCelsius();
    setText(tempLabel_, celsius
                            ? formatWithoutLocale("CPU: %.0f\u00B0C", *celsius)
                            : std::string("CPU: нет датчика (нормально для многих M\u2011чипов)"));
}

void LegacyMainViewController::refreshFans() {
    if (!smc_->isAvailable()) {
        showNoFans("AppleSMC недоступен");
        return;
    }
    const auto fanCount = smc_->readKey(LegacySMC::kFanCountKey);
    if (!fanCount || fanCount->empty() || (*fanCount)[0] == 0) {
        showNoFans("Вентиляторы: не найдены (пассивное охлаждение)");
        return;
    }
    const int speed = smc_->rpm(LegacySMC::fanKey(LegacySMC::kFanCurrentSpeedKey, 0)).value_or(0);
    setText(fanLabel_, formatWithoutLocale("Вентиляторов: %u \u00B7 Fan1: %d об/мин",
                                           unsigned{(*fanCount)[0]}, speed));

    // The slider follows the first fan's limits only when both can be read.
    if (const auto minimum = smc_->rpm(LegacySMC::fanKey(LegacySMC::kFanMinimumSpeedKey, 0))) {
        if (const auto maximum = smc_->rpm(LegacySMC::fanKey(LegacySMC::kFanMaximumSpeedKey, 0))) {
            fanSlider_->setMinimum(*minimum);
            fanSlider_->setMaximum(*maximum);
        }
    }
    fanManual_->setEnabled(true);
    fanSlider_->setEnabled(fanManual_->isChecked());
}

void LegacyMainViewController::showNoFans(const char* text) {
    setText(fanLabel_, text);
    fanManual_->setEnabled(false);
    fanSlider_->setEnabled(false);
}

void LegacyMainViewController::reclaimRAM() {
    LEGACY_CHECK_MAIN_THREAD(kUnit);
    const ActionGuard action(actionInProgress_);
    if (!action) {
        return;
    }
    // The window waits for the tool; the busy cursor says that work is under way. Showing it
    // runs queued events, and the guard keeps every other action out meanwhile.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

    const std::uint64_t before = takeSnapshot_().usedBytes;
    const LegacyReclaimOutcome outcome = reclaimMemory_();
    const std::uint64_t after = takeSnapshot_().usedBytes;
    QApplication::restoreOverrideCursor();

    const auto freed = static_cast<std::int64_t>(before - after);
    if (outcome == LegacyReclaimOutcome::notPermitted) {
        showRightsRefused();
    } else if (outcome == LegacyReclaimOutcome::toolNotStarted ||
               outcome == LegacyReclaimOutcome::toolFailed) {
        // Nothing was done that could be reported: the line is left as it was.
    } else if (freed > 0) {
        statusBeforeRefusal_.reset();
        setText(statusLabel_,
                formatWithoutLocale("Освобождено ~%lld MB", static_cast<long long>(freed >> 20)));
    } else if (outcome != LegacyReclaimOutcome::toolStillRunning) {
        statusBeforeRefusal_.reset();
        setText(statusLabel_, "Очистка выполнена");
    }
    // A tool still at work when the wait gave up, with nothing freed yet, has done nothing
    // that could be reported either.
    refresh();
}

void LegacyMainViewController::toggleFanManual() {
    LEGACY_CHECK_MAIN_THREAD(kUnit);
    const bool manual = fanManual_->isChecked();
    const ActionGuard action(actionInProgress_);
    if (!action) {
        // Another action is under way: the box goes back as if it had not been touched.
        const QSignalBlocker quiet(fanManual_);
        fanManual_->setChecked(!manual);
        return;
    }
    fanSlider_->setEnabled(manual);
    if (!manual) {
        noteRights(smc_->writeKey(LegacySMC::kFanForceKey, LegacySMC::kFanForceType, {0x00}));
    }
}

void LegacyMainViewController::applyFan() {
    LEGACY_CHECK_MAIN_THREAD(kUnit);
    const ActionGuard action(actionInProgress_);
    if (!action || !fanManual_->isChecked()) {
        return;
    }
    noteRights(smc_->setFanTargetRPM(0, fanSlider_->value()));
    refresh();
}

void LegacyMainViewController::restoreFans() {
    LEGACY_CHECK_MAIN_THREAD(kUnit);
    const ActionGuard action(actionInProgress_);
    if (!action) {
        return;
    }
    {
        const QSignalBlocker quiet(fanManual_);  // no action is sent for a state set here
        fanManual_->setChecked(false);
    }
    fanSlider_->setEnabled(false);
    noteRights(smc_->writeKey(LegacySMC::kFanForceKey, LegacySMC::kFanForceType, {0x00}));
    refresh();
}

// A fan write's result shows in the status line only when it was refused for lack of rights;
// once a later write goes through, the line says again what it said before.
void LegacyMainViewController::noteRights(LegacySMCWriteResult result) {
    if (result == LegacySMCWriteResult::notPermitted) {
        showRightsRefused();
    } else if (result == LegacySMCWriteResult::written && statusBeforeRefusal_) {
        statusLabel_->setText(*statusBeforeRefusal_);
        statusBeforeRefusal_.reset();
    }
}

void LegacyMainViewController::showRightsRefused() {
    const QString refused = QString::fromUtf8(kNoRightsText);
    if (statusLabel_->text() != refused) {
        statusBeforeRefusal_ = statusLabel_->text();
    }
    statusLabel_->setText(refused);
}
