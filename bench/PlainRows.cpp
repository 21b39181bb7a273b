// The floor for the program's start-up: a plain Qt program that builds the dashboard's fifteen
// rows with the same texts, fonts and sizes, and nothing else: no SMC, no memory reading, no
// timer, no icon, no actions.

#include <QApplication>
#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <QWidget>

namespace {

QLabel* label(const char* text) {
    auto* row = new QLabel(QString::fromUtf8(text));
    row->setTextFormat(Qt::PlainText);
    row->setTextInteractionFlags(Qt::NoTextInteraction);
    return row;
}

QLabel* heading(const char* text) {
    QLabel* row = label(text);
    QFont font = row->font();
    font.setBold(true);
    font.setPointSizeF(15.0);
    row->setFont(font);
    return row;
}

QFrame* separator() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QWidget window(nullptr, Qt::Window);
    window.resize(520, 620);
    window.setWindowTitle(QStringLiteral("Plain Rows"));

    auto* column = new QWidget;
    auto* rows = new QVBoxLayout(column);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(10);
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(1200, 6200);
    slider->setValue(2500);
    slider->setFixedWidth(360);
    slider->setEnabled(false);
    auto* manual = new QCheckBox(QString::fromUtf8("Ручная скорость (Intel)"));
    const struct {
        QWidget* view;
        bool spansColumn;
    } columnRows[] = {
        {heading("Очистка ОЗУ и мониторинг"), false},
        {label("Quorvel Legacy \u00B7 macOS 10.15+ Intel"), false},
        {label("RAM: 7.9 / 23.5 GB (34%)"), false},
        {label("Swap: 0.0 MB"), false},
        {new QPushButton(QString::fromUtf8("Очистить ОЗУ")), false},
        {separator(), true},
        {heading("Температура"), false},
        {label("CPU: нет датчика (нормально для многих M\u2011чипов)"), false},
        {separator(), true},
        {heading("Вентиляторы (Intel SMC)"), false},
        {label("AppleSMC недоступен"), false},
        {manual, false},
        {slider, false},
        {new QPushButton(QString::fromUtf8("Применить обороты")), false},
        {new QPushButton(QString::fromUtf8("Авто-вентиляторы")), false},
    };
    for (const auto& row : columnRows) {
        rows->addWidget(row.view, 0, row.spansColumn ? Qt::Alignment() : Qt::AlignLeft);
    }
    manual->setEnabled(false);

    auto* content = new QVBoxLayout(&window);
    content->setContentsMargins(24, 24, 24, 0);
    content->setSpacing(0);
    content->addWidget(column, 0, Qt::AlignLeft | Qt::AlignTop);
    content->addStretch(1);

    window.show();
    window.raise();
    return QApplication::exec();
}
