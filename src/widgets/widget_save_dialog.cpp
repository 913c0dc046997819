#include "widgets/widget_save_dialog.h"

#include "widgets/widget_dialog.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace terval {

QIcon NamesOnlyIconProvider::icon(const QFileInfo& info) const {
    return icon(info.isDir() ? QFileIconProvider::Folder : QFileIconProvider::File);
}

QString NamesOnlyIconProvider::type(const QFileInfo& info) const {
    if (info.isDir()) {
        return QStringLiteral("Папка");
    }
    return mimeTypes_.mimeTypeForFile(info, QMimeDatabase::MatchExtension).comment();
}

QFileDialog* newSaveDialog(QWidget* parent, const char* objectName, const QString& caption,
                           const QString& nameFilter, const QString& suffix,
                           NamesOnlyIconProvider* names) {
    auto* dialog = new QFileDialog(parent, caption);
    dialog->setObjectName(QString::fromLatin1(objectName));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setIconProvider(names);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(nameFilter);
    dialog->setDefaultSuffix(suffix);
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->setLabelText(QFileDialog::LookIn, QStringLiteral("Папка:"));
    dialog->setLabelText(QFileDialog::FileName, QStringLiteral("Имя файла:"));
    dialog->setLabelText(QFileDialog::FileType, QStringLiteral("Тип файла:"));
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Сохранить"));
    dialog->setLabelText(QFileDialog::Reject, QStringLiteral("Отмена"));
    dialog->resize(820, 500);
    keepOnScreen(dialog);
    return dialog;
}

QString askSavePath(QFileDialog* dialog) {
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) {
        return {};
    }
    const QString path = dialog->selectedFiles().constFirst();
    if (!QFileInfo::exists(path)) {
        return path;
    }
    QMessageBox ask(
        QMessageBox::Question, dialog->windowTitle(),
        QStringLiteral("Файл %1 уже есть. Заменить его?").arg(QDir::toNativeSeparators(path)),
        QMessageBox::NoButton, dialog->parentWidget());
    QPushButton* replace = ask.addButton(QStringLiteral("Заменить"), QMessageBox::AcceptRole);
    ask.setDefaultButton(ask.addButton(QStringLiteral("Отмена"), QMessageBox::RejectRole));
    ask.exec();
    return ask.clickedButton() == replace ? path : QString();
}

}  // namespace terval
