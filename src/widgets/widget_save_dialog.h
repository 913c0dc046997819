#pragma once

#include <QFileDialog>
#include <QFileIconProvider>
#include <QMimeDatabase>
#include <QString>

namespace terval {

// Qt's file dialog asks every file of the folder it shows for its type and icon, and a file whose
// name does not tell is opened to look inside. Opening and closing journal.db in the station's own
// process would drop the locks SQLite holds on it (POSIX locks belong to the process, and closing
// any descriptor of the file releases them); another program reading the journal could then take
// its write-ahead log away from under the station. Types and icons come from names alone here.
// The provider must outlive every dialog it is given to.
class NamesOnlyIconProvider final : public QFileIconProvider {
  public:
    using QFileIconProvider::icon;
    QIcon icon(const QFileInfo& info) const override;
    QString type(const QFileInfo& info) const override;

  private:
    QMimeDatabase mimeTypes_;
};

// A save dialog of the station: Qt's own on every system, in Russian where its texts are its own,
// files told by their names only, and a file already there asked about in the station's words
// (askSavePath) rather than by Qt.
QFileDialog* newSaveDialog(QWidget* parent, const char* objectName, const QString& caption,
                           const QString& nameFilter, const QString& suffix,
                           NamesOnlyIconProvider* names);

// Runs the dialog; the file chosen, once the operator has agreed to replace it when it is there
// already, or nothing.
QString askSavePath(QFileDialog* dialog);

}  // namespace terval
