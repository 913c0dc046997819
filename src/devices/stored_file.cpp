#include "devices/stored_file.h"

#include "devices/error_text.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace terval {
namespace {

QString displayName(const QString& path) {
    return QFileInfo(path).fileName();
}

// The rename is only durable once the folder's own entry list has reached the disk.
void flushFolderOf(const QString& path) {
#ifdef Q_OS_UNIX
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(path);
#endif
}

}  // namespace

FileError saveFileAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    // Without this Qt would fall back to writing the file in place when the folder refuses new
    // files, which is exactly the half-written state the temporary file exists to prevent.
    file.setDirectWriteFallback(false);
    const auto failure = [&path](QFileDevice::FileError error, const QString& system) {
        return QStringLiteral(
                   "Не удалось записать файл %1: %2.\nПрежний файл оставлен без изменений.")
                   .arg(displayName(path), fileErrorText(error, path)) +
               systemDetail(system);
    };
    if (!file.open(QIODevice::WriteOnly)) {
        return failure(file.error(), file.errorString());
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        const QFileDevice::FileError error = file.error();
        const QString system = file.errorString();
        file.cancelWriting();
        return failure(error, system);
    }
    flushFolderOf(path);
    return std::nullopt;
}

FileError writeFileAt(const QString& path, qint64 offset, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        return QStringLiteral("Не удалось открыть файл %1 для записи: %2.")
                   .arg(displayName(path), fileErrorText(file.error(), path)) +
               systemDetail(file.errorString());
    }
    if (!file.seek(offset) || file.write(bytes) != bytes.size() || !file.flush()) {
        return QStringLiteral("Не удалось записать файл %1: %2.")
                   .arg(displayName(path), fileErrorText(file.error(), path)) +
               systemDetail(file.errorString());
    }
    return std::nullopt;
}

FileRead readWholeFile(const QString& path) {
    FileRead result;
    QFile file(path);
    result.exists = file.exists();
    if (!result.exists) {
        result.error = QStringLiteral("Файл %1 не найден.").arg(displayName(path));
        return result;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        const QString reason = QFileInfo(path).isDir()
                                   ? fileErrorText(QFileDevice::OpenError, path)
                                   : QStringLiteral("нет права на чтение, или файл занят");
        result.error =
            QStringLiteral("Не удалось открыть файл %1: %2.").arg(displayName(path), reason) +
            systemDetail(file.errorString());
        return result;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.error = QStringLiteral("Не удалось прочитать файл %1: %2.")
                           .arg(displayName(path), fileErrorText(file.error(), path)) +
                       systemDetail(file.errorString());
        return result;
    }
    result.bytes = std::move(bytes);
    return result;
}

}  // namespace terval
