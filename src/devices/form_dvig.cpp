#include "devices/form_dvig.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "devices/short_string.h"

namespace terval {

TFormDvig::TFormDvig(MainController& controller, QWidget* parent)
    : QDialog(parent), controller_(controller) {
    setObjectName(QStringLiteral("FormDvig"));
    setWindowTitle(QStringLiteral("Параметры"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(15, 15, 15, 15);
    column->setSpacing(12);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* heading = new QLabel(QStringLiteral("Редактирование параметров"), this);
    QFont headingFont = heading->font();
    headingFont.setBold(true);
    heading->setFont(headingFont);
    heading->setAlignment(Qt::AlignCenter);
    column->addWidget(heading);

    QFont nameFont(QStringLiteral("Times New Roman"));
    nameFont.setPixelSize(16);
    nameFont.setBold(true);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    EditName = new QLineEdit(this);
    EditName->setObjectName(QStringLiteral("EditName"));
    EditSwitch = new QLineEdit(this);
    EditSwitch->setObjectName(QStringLiteral("EditSwitch"));
    for (QLineEdit* edit : {EditName, EditSwitch}) {
        edit->setMaxLength(kShortStringCapacity);
        edit->setFont(nameFont);
        edit->setMinimumWidth(150);
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textChanged, this, &TFormDvig::EditNameChange);
    }
    SEAddress = new QSpinBox(this);
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

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    ButtonOk = new QPushButton(QStringLiteral("Применить"), this);
    ButtonOk->setObjectName(QStringLiteral("ButtonOk"));
    ButtonCancel = new QPushButton(QStringLiteral("OK"), this);
    ButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
    for (QPushButton* b : {ButtonOk, ButtonCancel}) {
        b->setAutoDefault(false);
        b->setMinimumWidth(90);
        b->installEventFilter(this);
        buttons->addWidget(b);
    }
    // Keep the layout's width when "Применить" is hidden, so the dialog does not jump.
    QSizePolicy keep = ButtonOk->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    ButtonOk->setSizePolicy(keep);
    column->addLayout(buttons);

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
    const DeviceTable& table = controller_.station().devices;
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
    const DeviceEditCheck check = controller_.applyDeviceEdit(edit);
    const DeviceTable& table = controller_.station().devices;
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
