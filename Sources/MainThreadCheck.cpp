#include "MainThreadCheck.h"

#include <QCoreApplication>
#include <QThread>
#include <QtGlobal>

void legacyCheckMainThread(const char* unit, int line) {
    const QCoreApplication* application = QCoreApplication::instance();
    if (application != nullptr && QThread::currentThread() != application->thread()) {
        qWarning("%s:%d: must be called on the main thread", unit, line);
    }
}
