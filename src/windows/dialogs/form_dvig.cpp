#include "windows/dialogs/form_dvig.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "devices/short_string.h"
#include "widgets/widget_dialog.h"
#include "widgets/widget_spin_box.h"

namespace terval {

TFormDvig::TFormDvig(DeviceEditing& devices, QWidget* parent) : QDialog(parent), devices_(devices) {
    QVBoxLayout* column = setUpFixedDialog(this, "FormDvig", QStringLiteral("Параметры"));
    addHeading(column, this, QStringLiteral("Редактирование параметров"))
        ->setAlignment(Qt::AlignCenter);

    QFont nameFont(QStringLiteral("Times New Roman"));
    nameFont.setPixelSize(16);
    nameFont.setBold(true);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    EditName = new QLineEdit(this);
    EditName->setObjectName(QStringLiteral("EditName"));
    EditSwitch = new QLineEdit(this);
    EditSwitch->setObjectName(QStringLiteral("EditSwitch"));
    // Room for the widest name the record holds: ten of the widest Cyrillic capitals.
    int widestLetter = 0;
    for (QChar c : QStringLiteral("ЖШЩЮМФ")) {
        widestLetter = std::max(widestLetter, QFontMetrics(nameFont).horizontalAdvance(c));
    }
    const int widestName = widestLetter * kShortStringCapacity;
    for (QLineEdit* edit : {EditName, EditSwitch}) {
        edit->setMaxLength(kShortStringCapacity);
        edit->setFont(nameFont);
        edit->setMinimumWidth(widestName + 16);
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textChanged, this, &TFormDvig::EditNameChange);
    }
    SEAddress = new LimitedSpinBox(this);
    SEAddress->setObjectName(QStringLiteral("SEAddress"));
    SEAddress->setRange(1, 246);
    SEAddress->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    SEAddress->installEventFilter(this);
    connect(SEAddress, &QSpinBox::valueChanged, this, &TFormDvig::EditNameChange);

    grid->addWidget(new QLabel(QStringLiteral("Название генератора:"), this), 0, 0);
    grid->addWidget(EditName, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Название выключателя:"), this), 1, 0);
    grid->addWidget(EditSwitch, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Адрес в сети:"), this), 2, 0);
    grid->addWidget(SEAddress, 2, 1, Qt::AlignLeft);
    column->addLayout(grid);

    ButtonOk = dialogButton(this, "ButtonOk", QStringLiteral("Применить"));
    ButtonCancel = dialogButton(this, "ButtonCancel", QStringLiteral("OK"));
    ButtonOk->installEventFilter(this);
    ButtonCancel->installEventFilter(this);
    // Keep the layout's width when "Применить" is hidden, so the dialog does not jump.
    QSizePolicy keep = ButtonOk->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    ButtonOk->setSizePolicy(keep);
    addButtonRow(column, {ButtonOk, ButtonCancel});

    setTabOrder(EditName, EditSwitch);
    setTabOrder(EditSwitch, SEAddress);
    setTabOrder(SEAddress, ButtonOk);
    setTabOrder(ButtonOk, ButtonCancel);

    connect(ButtonOk, &QPushButton::clicked, this, &TFormDvig::ButtonOkClick);
    connect(ButtonCancel, &QPushButton::clicked, this, &TFormDvig::ButtonCancelClick);
}

void TFormDvig::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TFormDvig::FormShow() {
    MyShow();
    applied_ = false;
    showNothingPending();
    EditName->setFocus();
}

void TFormDvig::MyShow() {
    const DeviceTable& table = devices_.devices();
    if (!table.hasSelection()) {
        return;
    }
    const DeviceEntry& e = table.entry(table.SelectedDevice);
    EditName->setText(e.GeneratorName);
    EditSwitch->setText(e.BreakerName);
    SEAddress->setValue(e.Address);
}

void TFormDvig::showNothingPending() {
    ButtonOk->hide();
    ButtonCancel->setText(QStringLiteral("OK"));
}

void TFormDvig::EditNameChange() {
    ButtonCancel->setText(QStringLiteral("Отменить"));
    ButtonOk->show();
}

void TFormDvig::ButtonOkClick() {
    SEAddress->interpretText();
    const DeviceEdit edit{EditName->text(), EditSwitch->text(), SEAddress->value()};
    const DeviceEditCheck check = devices_.applyDeviceEdit(edit);
    const DeviceTable& table = devices_.devices();
    switch (check) {
        case DeviceEditCheck::Unchanged:
            showNothingPending();
            return;
        case DeviceEditCheck::Accepted:
            applied_ = true;
            showNothingPending();
            return;
        case DeviceEditCheck::NameTaken:
            EditName->setText(table.entry(table.SelectedDevice).GeneratorName);
            break;
        case DeviceEditCheck::BreakerTaken:
            EditSwitch->setText(table.entry(table.SelectedDevice).BreakerName);
            break;
        case DeviceEditCheck::AddressTaken:
            SEAddress->setValue(table.entry(table.SelectedDevice).Address);
            break;
    }
    EditNameChange();
    EditName->setFocus();
}

void TFormDvig::closeAsOk() {
    done(applied_ ? QDialog::Accepted : QDialog::Rejected);
}

void TFormDvig::ButtonCancelClick() {
    if (ButtonCancel->text() == QStringLiteral("OK")) {
        closeAsOk();
        return;
    }
    MyShow();
    showNothingPending();
}

void TFormDvig::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        closeAsOk();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool TFormDvig::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Escape) {
            closeAsOk();
            return true;
        }
        const bool isField = watched == EditName || watched == EditSwitch || watched == SEAddress;
        if (isField && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
            SEAddress->interpretText();
            focusNextChild();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace terval
