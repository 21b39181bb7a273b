#include "LegacyAppDelegate.h"

#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMetaObject>
#include <QScreen>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>
#include <memory>
#include <utility>

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

// The icon theme's icon once the program's own is installed among the desktop's icons, else the
// one compiled in (the theme is then not searched, which costs time and memory).
QIcon programIcon() {
    const QString name = QStringLiteral("quorvel-legacy");
    if (!QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                QStringLiteral("icons/hicolor/scalable/apps/%1.svg").arg(name))
             .isEmpty()) {
        const QIcon themed = QIcon::fromTheme(name);
        if (!themed.isNull()) {
            return themed;
        }
    }
    loadIconResources();
    QIcon compiledIn;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        compiledIn.addFile(QStringLiteral(":/icons/%1-%2.png").arg(name).arg(size),
                           QSize(size, size));
    }
    return compiledIn;
}

// Gives the window its icon once its first frame is on screen. Turning an icon's sizes into
// the window system's form (decoding each PNG, converting its pixels) takes longer than
// building and laying out the whole dashboard; the first frame does not wait for it.
class IconAfterFirstFrame final : public QObject {
  public:
    explicit IconAfterFirstFrame(QWidget* window) : QObject(window), window_(window) {
        window->windowHandle()->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && window_->windowHandle()->isExposed()) {
            watched->removeEventFilter(this);
            // After the expose, whose handling paints the first frame.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    window_->setWindowIcon(programIcon());
                    deleteLater();
                },
                Qt::QueuedConnection);
        }
        return false;
    }

  private:
    QWidget* window_;
};

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

    auto controller = std::make_unique<LegacyMainViewController>();

    // The window takes the controller's view as its content; this is when the view is built.
    auto* content = new QVBoxLayout(window.get());
    content->setContentsMargins(0, 0, 0, 0);
    content->addWidget(controller->view());

    window->winId();  // the native window, so that the frame is known before centring
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    new IconAfterFirstFrame(window.get());

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
