#include "devices/tile_pictures.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <algorithm>
#include <vector>

#include "devices/error_text.h"

namespace terval {
namespace {

QString listOfNames(const QStringList& names) {
    if (names.size() == 1) {
        return names.first();
    }
    return names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" и ") +
           names.last();
}

// Why a copy into `target` failed. Qt reports every failed copy under one code, so the folder is
// looked at to tell a missing right or a read-only disk from a write cut short.
QString copyFailure(const QString& source, const QString& target) {
    if (!QFileInfo(source).isReadable()) {
        return QStringLiteral("рисунок в ней не читается");
    }
    const QFileInfo folder(QFileInfo(target).absolutePath());
    if (folder.exists() && QStorageInfo(folder.absoluteFilePath()).isReadOnly()) {
        return QStringLiteral("диск доступен только для чтения");
    }
    const QFileDevice::FileError kind = folder.exists() && folder.isWritable()
                                            ? QFileDevice::WriteError
                                            : QFileDevice::PermissionsError;
    return fileErrorText(kind, target);
}

}  // namespace

QStringList tilePictureNames() {
    return {QStringLiteral("Bitmap1.bmp"), QStringLiteral("Bitmap2.bmp"),
            QStringLiteral("Bitmap3.bmp"), QStringLiteral("Bitmap4.bmp")};
}

QStringList installedTilePictureFolders() {
    QStringList folders;
    const QString program = QCoreApplication::applicationDirPath();
    if (!program.isEmpty()) {
        folders << QDir::cleanPath(program + QStringLiteral("/../share/terval/pictures"));
    }
#ifdef TERVAL_SOURCE_ASSETS
    folders << QStringLiteral(TERVAL_SOURCE_ASSETS);
#endif
    return folders;
}

QStringList provideTilePictures(const QDir& folder, const QStringList& sources) {
    // Failures of the same reason from the same source, in the order they happened. The system's
    // words name each file, so the first picture's stand for all of them.
    struct Failure {
        QString source;
        QString reason;
        QString detail;
        QStringList names;
    };
    std::vector<Failure> failures;
    for (const QString& name : tilePictureNames()) {
        const QString target = folder.filePath(name);
        // A dangling link counts as there: it is the operator's, not ours to replace.
        if (QFileInfo(target).exists() || QFileInfo(target).isSymLink()) {
            continue;
        }
        for (const QString& source : sources) {
            const QString from = QDir(source).filePath(name);
            if (!QFileInfo(from).isFile()) {
                continue;
            }
            // Qt copies through a temporary file that reaches the disk before it takes the
            // name, and never over a file of that name: a half-copied picture is never left.
            QFile file(from);
            if (!file.copy(target)) {
                const QString reason = copyFailure(from, target);
                auto same = std::find_if(failures.begin(), failures.end(), [&](const Failure& f) {
                    return f.source == source && f.reason == reason;
                });
                if (same == failures.end()) {
                    failures.push_back({source, reason, systemDetail(file.errorString()), {name}});
                } else {
                    same->names << name;
                }
            }
            break;
        }
    }
    QStringList messages;
    for (const Failure& f : failures) {
        messages << QStringLiteral("Не удалось скопировать в папку станции %1 %2 из папки %3: %4.")
                            .arg(f.names.size() == 1 ? QStringLiteral("рисунок")
                                                     : QStringLiteral("рисунки"),
                                 listOfNames(f.names), QDir::toNativeSeparators(f.source),
                                 f.reason) +
                        f.detail;
    }
    return messages;
}

}  // namespace terval
