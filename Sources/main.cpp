#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QInputEvent>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "LegacyAppDelegate.h"
#include "platform/privileged/PrivilegedSession.h"

// The application object and its delegate, kept for the whole life of the process. They are
// freed by main once the event loop has returned, never by exit(): Qt's X11 platform calls
// exit(1) from inside the loop when its display goes away, when the window could no longer be
// torn down safely.
QApplication* app = nullptr;
LegacyAppDelegate* delegate = nullptr;

namespace {

// What Qt says while the application object is made: held back, so that a display that cannot
// be opened ends the program with one line of ours instead of Qt's abort and a core file.
struct HeldMessage {
    QtMsgType type;
    std::string category;
    QString text;
};
std::vector<HeldMessage> heldMessages;

void holdStartUpMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::string reason;
        for (const HeldMessage& held : heldMessages) {
            if (held.type != QtDebugMsg && held.type != QtInfoMsg) {
                reason = held.text.section(QLatin1Char('\n'), 0, 0).trimmed().toStdString();
                break;
            }
        }
        // A Wayland desktop without X needs Qt's Wayland plugin, a package of its own.
        const char* wanted = reason.find("platform plugin \"wayland\"") == std::string::npos ? ""
                             : QT_VERSION_MAJOR == 5 ? "; install qtwayland5"
                                                     : "; install qt6-wayland";
        std::fprintf(stderr, "quorvel-legacy: no display could be opened%s%s%s\n",
                     reason.empty() ? "" : ": ", reason.c_str(), wanted);
        std::fflush(stderr);
        std::_Exit(1);
    }
    heldMessages.push_back({type, context.category != nullptr ? context.category : "", text});
}

// Set once the last window has closed: the application is on its way out.
bool quitting = false;

// What the user types and clicks while an action waits is dropped, not kept for later: a click
// on another control then would act once the password is typed. Closing the window and quitting
// are no such input and come through.
class UserInputDropped final : public QObject {
  public:
    UserInputDropped() { QCoreApplication::instance()->installEventFilter(this); }

  protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        return dynamic_cast<QInputEvent*>(event) != nullptr || event->type() == QEvent::Shortcut ||
               event->type() == QEvent::InputMethod;
    }
};

// While an administrator's authorization or the helper's answer is awaited, the window keeps
// drawing and answering: the event loop sleeps until something arrives (a repaint, a question of
// a screen reader, the helper's descriptor, the limit), as fast as when nothing is awaited. A
// descriptor below 0 is none: the wait lasts until the limit.
void waitKeepingTheWindowAlive(int descriptor, std::chrono::milliseconds limit) {
    const UserInputDropped dropped;
    bool over = false;
    std::optional<QSocketNotifier> readable;
    if (descriptor >= 0) {
        readable.emplace(static_cast<qintptr>(descriptor), QSocketNotifier::Read);
        QObject::connect(&*readable, &QSocketNotifier::activated, [&] {
            readable->setEnabled(false);
            over = true;
        });
    }
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { over = true; });
    deadline.start(static_cast<int>(limit.count()));
    while (!over && !quitting) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// Passes what was held back on to Qt's own handler, once the application object is there.
void releaseStartUpMessages() {
    qInstallMessageHandler(nullptr);
    for (const HeldMessage& held : heldMessages) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.c_str());
        qt_message_output(held.type, context, held.text);
    }
    heldMessages.clear();
}

}  // namespace

int main(int argc, char* argv[]) {
    // The ends of the helper and of the clean-up tool are waited for: a parent that ignored
    // SIGCHLD would have the kernel reap them and lose their ends.
    std::signal(SIGCHLD, SIG_DFL);
    qInstallMessageHandler(holdStartUpMessage);
    app = new QApplication(argc, argv);
    releaseStartUpMessages();
    delegate = new LegacyAppDelegate();
    platform::PrivilegedSession::setKeepAlive({waitKeepingTheWindowAlive, [] { return quitting; }});
    // Desktops match the window with its desktop entry and icon by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvel.legacy"));

    // The delegate is asked whether closing the last window ends the application.
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(app, &QGuiApplication::lastWindowClosed, delegate, [] {
        if (delegate->applicationShouldTerminateAfterLastWindowClosed()) {
            quitting = true;  // an action awaiting the helper gives up and sends nothing more
            QCoreApplication::quit();
        }
    });
    // Launching has finished once the event loop runs.
    QMetaObject::invokeMethod(
        delegate, [] { delegate->applicationDidFinishLaunching(); }, Qt::QueuedConnection);

    QApplication::exec();

    // Qt's objects go before the libraries' own statics do.
    delete delegate;
    delegate = nullptr;
    delete app;
    app = nullptr;
    // Closed while the system still asked for a password: the launch goes on in the libraries on
    // its own thread, so the run ends without the statics' destructors that exit() would run.
    if (platform::PrivilegedSession::launchUnderway()) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
