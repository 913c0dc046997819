#include "windows/dialogs/form_com_setup.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "devices/connection_config.h"
#include "io/serial_link.h"
#include "widgets/widget_dialog.h"

namespace terval {

TFormComSetup::TFormComSetup(SerialSettings& port, QDir workFolder, QWidget* parent)
    : QDialog(parent), port_(port), folder_(std::move(workFolder)) {
    QVBoxLayout* column = setUpFixedDialog(this, "FormComSetup", QStringLiteral("Setup"));

    auto* group = new QGroupBox(QStringLiteral(" Settings "), this);
    auto* form = new QFormLayout(group);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const auto combo = [this, form](const char* name, const QString& label) {
        auto* c = new QComboBox(this);
        c->setObjectName(QString::fromLatin1(name));
        c->setMinimumWidth(130);
        form->addRow(label, c);
        return c;
    };
    ComboPort = combo("ComboPort", QStringLiteral("Port"));
    ComboBaud = combo("ComboBaud", QStringLiteral("Baud rate"));
    ComboDataBits = combo("ComboDataBits", QStringLiteral("Data bits"));
    ComboStopBits = combo("ComboStopBits", QStringLiteral("Stop bits"));
    ComboParity = combo("ComboParity", QStringLiteral("Parity"));
    ComboFlow = combo("ComboFlow", QStringLiteral("Flow control"));
    for (size_t i = 1; i < kBaudRates.size(); ++i) {
        ComboBaud->addItem(QString::number(kBaudRates[i]), kBaudRates[i]);
    }
    ComboDataBits->addItems({"5", "6", "7", "8"});
    ComboStopBits->addItems({"1", "1.5", "2"});
    ComboParity->addItems({"None", "Odd", "Even", "Mark", "Space"});
    ComboFlow->addItems({"Hardware", "Software", "None", "Custom"});
    column->addWidget(group);

    ButtonOk = dialogButton(this, "ButtonOk", QStringLiteral("OK"));
    ButtonCancel = dialogButton(this, "ButtonCancel", QStringLiteral("Cancel"));
    addButtonRow(column, {ButtonOk, ButtonCancel});
    connect(ButtonOk, &QPushButton::clicked, this, &TFormComSetup::ButtonOkClick);
    connect(ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFormComSetup::keyPressEvent(QKeyEvent* event) {
    // Enter in a list goes on to the next one and at last to "OK", which Enter then presses.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && qobject_cast<QComboBox*>(focusWidget())) {
        focusNextChild();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TFormComSetup::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TFormComSetup::FormShow() {
    ComboPort->clear();
    QStringList names = availableComNames(folder_);
    const QString current = normalizePortName(port_.portName);
    if (!names.contains(current)) {
        names.prepend(current);
    }
    ComboPort->addItems(names);
    ComboPort->setCurrentText(current);
    const int baud = ComboBaud->findData(port_.baudRate);
    ComboBaud->setCurrentIndex(baud >= 0 ? baud : ComboBaud->findData(38400));
    ComboDataBits->setCurrentIndex(port_.dataBitsIndex);
    ComboStopBits->setCurrentIndex(port_.stopBitsIndex);
    ComboParity->setCurrentIndex(port_.parityIndex);
    ComboFlow->setCurrentIndex(port_.flowControlIndex);
}

void TFormComSetup::ButtonOkClick() {
    port_.portName = normalizePortName(ComboPort->currentText());
    port_.baudRate = ComboBaud->currentData().toInt();
    port_.dataBitsIndex = static_cast<uint8_t>(ComboDataBits->currentIndex());
    port_.stopBitsIndex = static_cast<uint8_t>(ComboStopBits->currentIndex());
    port_.parityIndex = static_cast<uint8_t>(ComboParity->currentIndex());
    port_.flowControlIndex = static_cast<uint8_t>(ComboFlow->currentIndex());
    accept();
}

}  // namespace terval
