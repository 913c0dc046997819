#include "app/form_message_box.h"

#include <QApplication>
#include <QMessageBox>

namespace terval {

void MessageBoxSink::showMessage(MessageIcon icon, const QString& text, const QString& caption) {
    QMessageBox::Icon boxIcon = QMessageBox::Critical;
    QString title = caption;
    switch (icon) {
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
    QMessageBox box(boxIcon, title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

}  // namespace terval
