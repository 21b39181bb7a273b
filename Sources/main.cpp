#include <QApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <memory>

#include "LegacyAppDelegate.h"

// The application object and its delegate, kept for the whole life of the process.
std::unique_ptr<QApplication> app;
std::unique_ptr<LegacyAppDelegate> delegate;

int main(int argc, char* argv[]) {
    app = std::make_unique<QApplication>(argc, argv);
    delegate = std::make_unique<LegacyAppDelegate>();
    // Desktops match the window with its desktop entry and icon by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvel.legacy"));

    // The delegate is asked whether closing the last window ends the application.
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(app.get(), &QGuiApplication::lastWindowClosed, delegate.get(), [] {
        if (delegate->applicationShouldTerminateAfterLastWindowClosed()) {
            QCoreApplication::quit();
        }
    });
    // Launching has finished once the event loop runs.
    QMetaObject::invokeMethod(
        delegate.get(), [] { delegate->applicationDidFinishLaunching(); }, Qt::QueuedConnection);

    QApplication::exec();

    // Qt's objects go before the libraries' own statics do.
    delegate.reset();
    app.reset();
    return 0;
}
