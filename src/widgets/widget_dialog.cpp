#include "widgets/widget_dialog.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLayout>
#include <QScreen>
#include <QTimer>

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
    keepOnScreen(dialog);
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

void fitOnScreen(QWidget* window, bool centre) {
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    // A dialog sized by its layout takes its new size only when the layout runs.
    if (QLayout* layout = window->layout()) {
        layout->activate();
    }
    const QRect area = screen->availableGeometry();
    // The window manager's frame is known once the window is on the screen; before that it is none.
    const QSize decoration = window->frameGeometry().size() - window->geometry().size();
    const QSize room = area.size() - decoration;
    QSize size = window->size();
    if (size.width() > room.width() || size.height() > room.height()) {
        size = size.boundedTo(room).expandedTo(window->minimumSize());
        window->resize(size);
        size = window->size();
    }
    QRect frame(window->frameGeometry().topLeft(), size + decoration);
    if (centre) {
        frame.moveCenter(area.center());
    }
    if (frame.right() > area.right()) {
        frame.moveRight(area.right());
    }
    if (frame.bottom() > area.bottom()) {
        frame.moveBottom(area.bottom());
    }
    if (frame.left() < area.left()) {
        frame.moveLeft(area.left());
    }
    if (frame.top() < area.top()) {
        frame.moveTop(area.top());
    }
    if (frame.topLeft() != window->frameGeometry().topLeft()) {
        window->move(frame.topLeft());
    }
}

void centreOnScreen(QWidget* window) {
    fitOnScreen(window, true);
}

namespace {

class ScreenKeeper : public QObject {
  public:
    explicit ScreenKeeper(QWidget* window) : QObject(window), window_(window) {
        window->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_) {
            if (event->type() == QEvent::Show) {
                fitOnScreen(window_);
                // Once more when the window manager has put its frame around the window.
                QTimer::singleShot(0, this, [this] {
                    if (window_->isVisible()) {
                        fitOnScreen(window_);
                    }
                });
            } else if (event->type() == QEvent::Resize && window_->isVisible()) {
                fitOnScreen(window_);
            }
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    QWidget* window_;
};

}  // namespace

void keepOnScreen(QWidget* window) {
    new ScreenKeeper(window);
}

}  // namespace terval
