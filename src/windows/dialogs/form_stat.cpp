#include "windows/dialogs/form_stat.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

#include "devices/device_table.h"
#include "param/link_statistics.h"
#include "widgets/widget_dialog.h"

namespace terval {
namespace {

QLabel* counterLabel(QWidget* parent, const char* name, const QColor& color) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setFont(namedFont(18, true));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Room for the largest 32-bit count, so a growing number never pushes the window wider.
    label->setMinimumWidth(
        QFontMetrics(label->font()).horizontalAdvance(QStringLiteral("4294967295")) + 4);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
    return label;
}

}  // namespace

TFormStat::TFormStat(DeviceTable& devices, QWidget* parent) : QDialog(parent), devices_(devices) {
    QVBoxLayout* column = setUpFixedDialog(this, "FormStat", QStringLiteral("Статистика связи"));
    setFont(namedFont(16));
    column->setSpacing(10);

    Label0 = new QLabel(QStringLiteral("Статистика связи с защитой"), this);
    Label0->setObjectName(QStringLiteral("Label0"));
    Label0->setFont(namedFont(18, true));
    Label0->setAlignment(Qt::AlignCenter);
    column->addWidget(Label0);

    LabelName = new QLabel(QStringLiteral("Генератор"), this);
    LabelName->setObjectName(QStringLiteral("LabelName"));
    LabelName->setTextFormat(Qt::PlainText);
    LabelName->setFont(namedFont(22, true));
    LabelName->setAlignment(Qt::AlignCenter);
    {
        QPalette pal = LabelName->palette();
        pal.setColor(QPalette::WindowText, QColor(0x00, 0x00, 0x80));
        LabelName->setPalette(pal);
    }
    column->addWidget(LabelName);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(6);
    const QColor green(0x00, 0x80, 0x00);
    LAll = counterLabel(this, "LAll", green);
    LTrue = counterLabel(this, "LTrue", green);
    LError = counterLabel(this, "LError", QColor(0xD0, 0x00, 0x00));
    grid->addWidget(new QLabel(QStringLiteral("Количество посылок:"), this), 0, 0);
    grid->addWidget(LAll, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Количество правильных ответов:"), this), 1, 0);
    grid->addWidget(LTrue, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Количество ошибочых ответов:"), this), 2, 0);
    grid->addWidget(LError, 2, 1);
    column->addLayout(grid);

    Button1 = dialogButton(this, "Button1", QStringLiteral("Сброс"));
    Button2 = dialogButton(this, "Button2", QStringLiteral("OK"));
    for (QPushButton* b : {Button1, Button2}) {
        b->setMinimumHeight(30);
    }
    addButtonRow(column, {Button1, Button2})->addStretch(1);

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(300);
    connect(Timer, &QTimer::timeout, this, &TFormStat::TimerTimer);
    connect(Button1, &QPushButton::clicked, this, &TFormStat::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFormStat::Button2Click);
}

void TFormStat::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        FormShow();
    }
    QDialog::showEvent(event);
    // Centred on the desktop, whichever window opened it.
    centreOnScreen(this);
    Timer->start();
}

void TFormStat::hideEvent(QHideEvent* event) {
    Timer->stop();
    QDialog::hideEvent(event);
}

void TFormStat::FormShow() {
    const DeviceTable& table = devices_;
    if (table.hasSelection()) {
        LabelName->setText(table.entry(table.SelectedDevice).GeneratorName);
    }
    // The counters as they stand at once, not those of the relay shown last time.
    LAll->clear();
    LTrue->clear();
    LError->clear();
    TimerTimer();
}

void TFormStat::TimerTimer() {
    const std::optional<LinkCounterTexts> counters = linkCounterTexts(devices_);
    if (!counters) {
        return;
    }
    LAll->setText(counters->requests);
    LTrue->setText(counters->good);
    LError->setText(counters->bad);
}

void TFormStat::Button1Click() {
    resetLinkCounters(devices_);
}

void TFormStat::Button2Click() {
    reject();
}

void TFormStat::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        reject();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace terval
