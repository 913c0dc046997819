#include "windows/alarms/form_shelve.h"

#include <QFormLayout>

#include "alarms/alarm_book.h"
#include "widgets/widget_dialog.h"

namespace terval {

namespace {

// Long enough for a work order number and a sentence; the journal keeps it whole.
constexpr int kReasonMaxLength = 200;

}  // namespace

TFormShelve::TFormShelve(const std::vector<AlarmRow>& alarms, QWidget* parent)
    : QDialog(parent), alarms_(alarms) {
    QVBoxLayout* column = setUpFixedDialog(this, "FormShelve", QStringLiteral("Отложить сигнал"));
    setFont(namedFont(16));
    column->setSpacing(10);
    addHeading(column, this, QStringLiteral("Отложить аварийный сигнал"));

    auto* form = new QFormLayout;
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(8);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);

    comboAlarm_ = new QComboBox(this);
    comboAlarm_->setObjectName(QStringLiteral("ComboAlarm"));
    for (const AlarmRow& row : alarms_) {
        comboAlarm_->addItem(QStringLiteral("%1: %2").arg(row.relay, row.kind), row.id);
    }
    comboAlarm_->setMinimumWidth(360);
    comboAlarm_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    form->addRow(QStringLiteral("Сигнал:"), comboAlarm_);

    comboHours_ = new QComboBox(this);
    comboHours_->setObjectName(QStringLiteral("ComboHours"));
    for (int h : AlarmBook::kShelfHours) {
        comboHours_->addItem(QStringLiteral("%1 ч").arg(h), h);
    }
    form->addRow(QStringLiteral("На время:"), comboHours_);

    editReason_ = new QLineEdit(this);
    editReason_->setObjectName(QStringLiteral("EditReason"));
    editReason_->setMaxLength(kReasonMaxLength);
    editReason_->setPlaceholderText(QStringLiteral("обязательно: почему сигнал откладывается"));
    editReason_->setMinimumWidth(360);
    form->addRow(QStringLiteral("Причина:"), editReason_);
    column->addLayout(form);

    auto* note = plainLabel(
        this,
        QStringLiteral("Отложенный сигнал записывается в журнал, но не показывается и не "
                       "звучит.\nПо истечении времени он вернётся, если ещё активен."),
        "LabelNote");
    note->setFont(namedFont(14));
    column->addWidget(note);

    btnShelve_ = dialogButton(this, "BtnShelve", QStringLiteral("Отложить"));
    btnCancel_ = dialogButton(this, "BtnCancel", QStringLiteral("Отмена"));
    for (QPushButton* b : {btnShelve_, btnCancel_}) {
        b->setMinimumHeight(30);
        b->setMinimumWidth(110);
    }
    addButtonRow(column, {btnShelve_, btnCancel_});
    connect(btnShelve_, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(editReason_, &QLineEdit::textChanged, this, [this] { updateButton(); });
    updateButton();
    editReason_->setFocus();
}

QString TFormShelve::chosenId() const {
    return comboAlarm_->currentData().toString();
}

int TFormShelve::hours() const {
    return comboHours_->currentData().toInt();
}

QString TFormShelve::reason() const {
    return editReason_->text().simplified();
}

void TFormShelve::updateButton() {
    const bool ready = !reason().isEmpty() && comboAlarm_->count() > 0;
    btnShelve_->setEnabled(ready);
    btnShelve_->setToolTip(ready ? QString() : QStringLiteral("Укажите причину"));
}

}  // namespace terval
