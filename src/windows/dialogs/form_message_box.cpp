#include "windows/dialogs/form_message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace terval {

void MessageBoxSink::showMessage(MessageIcon icon, const QString& text, const QString& caption) {
    for (const Pending& p : queue_) {
        if (p.icon == icon && p.text == text && p.caption == caption) {
            return;
        }
    }
    queue_.enqueue({icon, text, caption});
    if (!showing_ && queue_.size() == 1) {
        QTimer::singleShot(0, this, &MessageBoxSink::showNext);
    }
}

void MessageBoxSink::withdrawMessage(const QString& text) {
    // The head of the queue is the box on the screen while one is shown: it is closed, and
    // leaves the queue as a box closed by its button does.
    for (qsizetype i = queue_.size() - 1; i >= (showing_ ? 1 : 0); --i) {
        if (queue_.at(i).text == text) {
            queue_.removeAt(i);
        }
    }
    if (showing_ && box_ && !queue_.isEmpty() && queue_.head().text == text) {
        box_->done(QMessageBox::Ok);
    }
}

void MessageBoxSink::showNext() {
    if (showing_ || queue_.isEmpty()) {
        return;
    }
    showing_ = true;
    const Pending message = queue_.head();
    QMessageBox::Icon boxIcon = QMessageBox::Critical;
    QString title = message.caption;
    switch (message.icon) {
        case MessageIcon::Error:
            boxIcon = QMessageBox::Critical;
            if (title.isEmpty())
                title = QStringLiteral("Ошибка");
            break;
        case MessageIcon::Warning:
            boxIcon = QMessageBox::Warning;
            if (title.isEmpty())
                title = QStringLiteral("Внимание");
            break;
        case MessageIcon::Information:
            boxIcon = QMessageBox::Information;
            if (title.isEmpty())
                title = QStringLiteral("Информация");
            break;
    }
    QMessageBox box(boxIcon, title, message.text, QMessageBox::Ok, QApplication::activeWindow());
    box_ = &box;
    box.exec();
    box_ = nullptr;
    queue_.dequeue();
    showing_ = false;
    if (!queue_.isEmpty()) {
        QTimer::singleShot(0, this, &MessageBoxSink::showNext);
    }
}

}  // namespace terval
