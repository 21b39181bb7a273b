#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "LegacyMemory.h"

class LegacySMC;
class LegacySMCWriteResult;

// The dashboard: owns every control of the window, lays them out in one column, keeps the
// readings current every two seconds and carries out the user's actions.
class LegacyMainViewController : public QObject {
    Q_OBJECT

  public:
    using SnapshotSource = std::function<LegacyMemorySnapshot()>;
    using ReclaimAction = std::function<LegacyReclaimOutcome()>;

    // The program's controller: this machine's memory and the shared SMC object.
    LegacyMainViewController();
    // A controller over the given SMC object, memory readings and clean-up; without a
    // clean-up, this machine's.
    LegacyMainViewController(std::shared_ptr<LegacySMC> smc, SnapshotSource takeSnapshot,
                             ReclaimAction reclaimMemory = {});
    ~LegacyMainViewController() override;

    // The root view, built with its layout and wiring the first time it is asked for; once the
    // window that holds it is gone, none.
    QWidget* view();

    // Refreshes every reading at once, then every 2.0 seconds from then on.
    void startPolling();

    void reclaimRAM();
    void toggleFanManual();
    void applyFan();
    void restoreFans();

    // The controls, for the window and for inspection.
    QLabel* ramLabel() const { return ramLabel_; }
    QLabel* swapLabel() const { return swapLabel_; }
    QLabel* tempLabel() const { return tempLabel_; }
    QLabel* fanLabel() const { return fanLabel_; }
    QSlider* fanSlider() const { return fanSlider_; }
    QCheckBox* fanManual() const { return fanManual_; }
    QLabel* statusLabel() const { return statusLabel_; }
    QTimer* timer() const { return timer_; }
    QPushButton* reclaimButton() const { return reclaimButton_; }
    QPushButton* applyFanButton() const { return applyFanButton_; }
    QPushButton* restoreFanButton() const { return restoreFanButton_; }

  private:
    void loadView();
    void layoutUI();
    void refresh();
    void refreshTemperature();
    void refreshFans();
    void showNoFans(const char* text);
    void noteRights(LegacySMCWriteResult result);
    void showRightsRefused();

    QPointer<QLabel> ramLabel_;
    QPointer<QLabel> swapLabel_;
    QPointer<QLabel> tempLabel_;
    QPointer<QLabel> fanLabel_;
    QPointer<QSlider> fanSlider_;
    QPointer<QCheckBox> fanManual_;
    QPointer<QLabel> statusLabel_;
    QPointer<QTimer> timer_;
    std::shared_ptr<LegacySMC> smc_;
    QPointer<QPushButton> reclaimButton_;
    QPointer<QPushButton> applyFanButton_;
    QPointer<QPushButton> restoreFanButton_;

    SnapshotSource takeSnapshot_;
    ReclaimAction reclaimMemory_;
    QPointer<QWidget> view_;
    bool viewLoaded_ = false;
    // True while an action runs; no other action, and no tick, runs meanwhile.
    bool actionInProgress_ = false;
    // What the status line said before it said that rights were refused.
    std::optional<QString> statusBeforeRefusal_;
};
