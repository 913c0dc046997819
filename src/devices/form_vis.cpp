#include "devices/form_vis.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "devices/tile_grid.h"

namespace terval {

TFormVis::TFormVis(StationParams& params, MessageSink& messages, QWidget* parent)
    : QDialog(parent), params_(params), messages_(messages) {
    setObjectName(QStringLiteral("FormVis"));
    setWindowTitle(QStringLiteral("Размер окна"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(15, 15, 15, 15);
    column->setSpacing(12);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* heading = new QLabel(QStringLiteral("Введите параметры видимой облясти:"), this);
    QFont headingFont = heading->font();
    headingFont.setBold(true);
    heading->setFont(headingFont);
    column->addWidget(heading);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    SpinEdit1 = new QSpinBox(this);
    SpinEdit1->setObjectName(QStringLiteral("SpinEdit1"));
    SpinEdit1->setRange(kMinTileColumns, kMaxTileColumns);
    SpinEdit2 = new QSpinBox(this);
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

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    ButOk = new QPushButton(QStringLiteral("Ok"), this);
    ButOk->setObjectName(QStringLiteral("ButOk"));
    ButCancel = new QPushButton(QStringLiteral("Отмена"), this);
    ButCancel->setObjectName(QStringLiteral("ButCancel"));
    for (QPushButton* b : {ButOk, ButCancel}) {
        b->setAutoDefault(false);
        b->setMinimumWidth(80);
        buttons->addWidget(b);
    }
    column->addLayout(buttons);

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
    rowsChanged_ = false;
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
    rowsChanged_ = rows != params_.VisibleRows;
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
