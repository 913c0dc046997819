#include "widgets/widget_dialog.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

namespace terval {

QFont namedFont(int pixelSize, bool bold) {
    QFont f(QStringLiteral("Times New Roman"));
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

void setTextColor(QWidget* w, const QColor& color) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, color);
    w->setPalette(pal);
}

QLabel* problemLabel(QWidget* parent) {
    QLabel* label = plainLabel(parent, QString(), "LabelProblem");
    label->setWordWrap(true);
    label->setFont(namedFont(15, true));
    setTextColor(label, QColor(0xB0, 0x00, 0x00));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->hide();
    return label;
}

void showInFront(QWidget* window) {
    if (window->isVisible() && window->isMinimized()) {
        window->showNormal();
    } else if (!window->isVisible()) {
        window->show();
    }
    window->raise();
    window->activateWindow();
}

QLabel* plainLabel(QWidget* parent, const QString& text, const char* name) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    if (name) {
        label->setObjectName(QString::fromLatin1(name));
    }
    return label;
}

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

DialogButton::DialogButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setAutoDefault(false);
    setDefault(false);
}

void DialogButton::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (enter && mods == Qt::NoModifier) {
        event->accept();
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

QPushButton* dialogButton(QWidget* parent, const char* objectName, const QString& caption) {
    auto* button = new DialogButton(caption, parent);
    button->setObjectName(QString::fromLatin1(objectName));
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
