#pragma once

#include <QObject>
#include <memory>

class QWidget;
class LegacyMainViewController;

// Opens the one window with the dashboard as its content once launching has finished,
// and ends the application when that window is closed.
class LegacyAppDelegate : public QObject {
    Q_OBJECT

  public:
    LegacyAppDelegate();
    ~LegacyAppDelegate() override;

    void applicationDidFinishLaunching();
    bool applicationShouldTerminateAfterLastWindowClosed();

    QWidget* window() const { return window_.get(); }
    LegacyMainViewController* controller() const { return controller_.get(); }

  private:
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<LegacyMainViewController> controller_;
};
