// The floor for the program's memory, idle CPU and start-up: a Qt window showing one label.

#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QLabel label(QStringLiteral("Quorvel Legacy"));
    label.setWindowTitle(QStringLiteral("Minimal Label"));
    label.resize(520, 620);
    label.show();
    return QApplication::exec();
}
