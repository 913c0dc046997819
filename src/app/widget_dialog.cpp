#include "app/widget_dialog.h"

#include <QGuiApplication>
#include <QScreen>

namespace terval {

QVBoxLayout* setUpFixedDialog(QDialog* dialog, const char* objectName, const QString& title) {
    dialog->setObjectName(QString::fromLatin1(objectName));
    dialog->setWindowTitle(title);
    dialog->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint);
    auto* column = new QVBoxLayout(dialog);
    column->setContentsMargins(15, 15, 15, 15);
    column->setSpacing(12);
    column->setSizeConstraint(QLayout::SetFixedSize);
    return column;
}

QLabel* addHeading(QVBoxLayout* column, QWidget* parent, const QString& text) {
    auto* heading = new QLabel(text, parent);
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    column->addWidget(heading);
    return heading;
}

QPushButton* dialogButton(QWidget* parent, const char* objectName, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setAutoDefault(false);
    button->setMinimumWidth(90);
    return button;
}

QHBoxLayout* addButtonRow(QVBoxLayout* column, std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QPushButton* b : buttons) {
        row->addWidget(b);
    }
    column->addLayout(row);
    return row;
}

void centreOnScreen(QWidget* window) {
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
}

}  // namespace terval
