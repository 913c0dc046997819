#include "windows/dialogs/form_vis.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "devices/tile_grid.h"
#include "widgets/widget_dialog.h"
#include "widgets/widget_spin_box.h"

namespace terval {

TFormVis::TFormVis(StationParams& params, MessageSink& messages, QWidget* parent)
    : QDialog(parent), params_(params), messages_(messages) {
    QVBoxLayout* column = setUpFixedDialog(this, "FormVis", QStringLiteral("Размер окна"));
    addHeading(column, this, QStringLiteral("Введите параметры видимой облясти:"));

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    SpinEdit1 = new LimitedSpinBox(this);
    SpinEdit1->setObjectName(QStringLiteral("SpinEdit1"));
    SpinEdit1->setRange(kMinTileColumns, kMaxTileColumns);
    SpinEdit2 = new LimitedSpinBox(this);
    SpinEdit2->setObjectName(QStringLiteral("SpinEdit2"));
    SpinEdit2->setRange(kMinVisibleRows, kMaxVisibleRows);
    for (QSpinBox* spin : {SpinEdit1, SpinEdit2}) {
        spin->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
        spin->setMinimumWidth(60);
        spin->installEventFilter(this);
    }
    grid->addWidget(new QLabel(QStringLiteral("Количество столбцов:"), this), 0, 0);
    grid->addWidget(SpinEdit1, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Количество строк:"), this), 1, 0);
    grid->addWidget(SpinEdit2, 1, 1);
    column->addLayout(grid);

    ButOk = dialogButton(this, "ButOk", QStringLiteral("Ok"));
    ButCancel = dialogButton(this, "ButCancel", QStringLiteral("Отмена"));
    addButtonRow(column, {ButOk, ButCancel});

    setTabOrder(SpinEdit1, SpinEdit2);
    setTabOrder(SpinEdit2, ButOk);
    setTabOrder(ButOk, ButCancel);

    connect(ButOk, &QPushButton::clicked, this, &TFormVis::ButOkClick);
    connect(ButCancel, &QPushButton::clicked, this, &TFormVis::ButCancelClick);
}

void TFormVis::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TFormVis::FormShow() {
    SpinEdit2->setValue(params_.VisibleRows);
    SpinEdit1->setValue(params_.TileColumns);
    columnsChanged_ = false;
    SpinEdit1->setFocus();
}

void TFormVis::ButOkClick() {
    SpinEdit1->interpretText();
    SpinEdit2->interpretText();
    const int columns = SpinEdit1->value();
    const int rows = SpinEdit2->value();
    if (const auto refusal = gridDoesNotFit(columns, rows, screen_)) {
        messages_.showMessage(MessageIcon::Error, *refusal);
        return;
    }
    if (rows == params_.VisibleRows && columns == params_.TileColumns) {
        reject();
        return;
    }
    columnsChanged_ = columns != params_.TileColumns;
    params_.VisibleRows = rows;
    params_.TileColumns = columns;
    accept();
}

bool TFormVis::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            static_cast<QSpinBox*>(watched)->interpretText();
            focusNextChild();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace terval
