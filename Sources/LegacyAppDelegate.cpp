#include "LegacyAppDelegate.h"

#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "LegacyMainViewController.h"
#include "MainThreadCheck.h"

// The icon's sizes are compiled into the program; a static library has to ask for them.
static void loadIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace {

constexpr const char* kUnit = "LegacyAppDelegate";
constexpr int kContentWidth = 520;
constexpr int kContentHeight = 620;

QIcon programIcon() {
    loadIconResources();
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/quorvel-legacy-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace

LegacyAppDelegate::LegacyAppDelegate() = default;

// The controller goes first: its view leaves the window before the window goes.
LegacyAppDelegate::~LegacyAppDelegate() {
    controller_.reset();
}

void LegacyAppDelegate::applicationDidFinishLaunching() {
    LEGACY_CHECK_MAIN_THREAD(kUnit);

    // Titled, closable, minimisable and resizable: an ordinary top-level window.
    auto window = std::make_unique<QWidget>(nullptr, Qt::Window);
    window->resize(kContentWidth, kContentHeight);
    window->setWindowTitle(QStringLiteral("Quorvel Legacy"));
    window->setWindowIcon(programIcon());

    auto controller = std::make_unique<LegacyMainViewController>();

    // The window takes the controller's view as its content; this is when the view is built.
    auto* content = new QVBoxLayout(window.get());
    content->setContentsMargins(0, 0, 0, 0);
    content->addWidget(controller->view());

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window->winId();  // the native window, so that the frame is known before centring
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }

    // Shown and raised, not activated: starting does not take the keyboard from another program.
    window->show();
    window->raise();

    window_ = std::move(window);
    controller_ = std::move(controller);
    controller_->startPolling();
}

bool LegacyAppDelegate::applicationShouldTerminateAfterLastWindowClosed() {
    LEGACY_CHECK_MAIN_THREAD(kUnit);
    return true;
}
