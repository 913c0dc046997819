#include "devices/stored_file.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "devices/error_text.h"

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace terval {
namespace {

QString displayName(const QString& path) {
    return QFileInfo(path).fileName();
}

#ifdef Q_OS_UNIX
unsigned modeFor(const QString& path) {
    struct stat existing {};
    if (::stat(QFile::encodeName(path).constData(), &existing) == 0) {
        return existing.st_mode & 07777;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}
#endif

}  // namespace

#ifdef Q_OS_UNIX

int FileSteps::createTemporary(QByteArray& pattern) {
    return ::mkostemp(pattern.data(), O_CLOEXEC);
}
long FileSteps::write(int fd, const char* data, size_t size) {
    return static_cast<long>(::write(fd, data, size));
}
int FileSteps::flush(int fd) {
    return ::fsync(fd);
}
int FileSteps::setMode(int fd, unsigned mode) {
    return ::fchmod(fd, static_cast<mode_t>(mode));
}
int FileSteps::close(int fd) {
    return ::close(fd);
}
int FileSteps::rename(const char* from, const char* to) {
    return ::rename(from, to);
}
int FileSteps::flushFolder(const char* folder) {
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const int result = ::fsync(fd);
    ::close(fd);
    return result;
}
int FileSteps::remove(const char* path) {
    return ::unlink(path);
}

#else

// Elsewhere the replacement is Qt's own; these are not called.
int FileSteps::createTemporary(QByteArray&) {
    return -1;
}
long FileSteps::write(int, const char*, size_t) {
    return -1;
}
int FileSteps::flush(int) {
    return -1;
}
int FileSteps::setMode(int, unsigned) {
    return -1;
}
int FileSteps::close(int) {
    return -1;
}
int FileSteps::rename(const char*, const char*) {
    return -1;
}
int FileSteps::flushFolder(const char*) {
    return -1;
}
int FileSteps::remove(const char*) {
    return -1;
}

#endif

FileSteps& systemFileSteps() {
    static FileSteps steps;
    return steps;
}

#ifdef Q_OS_UNIX

FileError saveFileAtomically(const QString& path, const QByteArray& bytes, FileSteps& steps) {
    const QFileInfo target(path);
    const auto failure = [&path](const QString& reason, int code) {
        return QStringLiteral(
                   "Не удалось записать файл %1: %2.\nПрежний файл оставлен без изменений.")
                   .arg(displayName(path), reason) +
               systemDetail(QString::fromLocal8Bit(std::strerror(code)));
    };
    if (target.isDir()) {
        return failure(fileErrorText(QFileDevice::OpenError, path), EISDIR);
    }
    QByteArray temporary = QFile::encodeName(target.absoluteFilePath()) + ".tmp-XXXXXX";
    const int fd = steps.createTemporary(temporary);
    if (fd < 0) {
        const int code = errno;
        return failure(errnoText(code, path), code);
    }
    // Whatever fails from here on, nothing of the attempt stays behind.
    const auto abandon = [&](int code) {
        steps.close(fd);
        steps.remove(temporary.constData());
        return failure(errnoText(code, path), code);
    };
    for (qsizetype done = 0; done < bytes.size();) {
        const long n =
            steps.write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return abandon(n == 0 ? ENOSPC : errno);
        }
        done += n;
    }
    // The new file gets the old one's permissions, or those of any new file.
    if (steps.setMode(fd, modeFor(target.absoluteFilePath())) != 0) {
        return abandon(errno);
    }
    if (steps.flush(fd) != 0) {
        return abandon(errno);
    }
    if (steps.close(fd) != 0) {
        const int code = errno;
        steps.remove(temporary.constData());
        return failure(errnoText(code, path), code);
    }
    if (steps.rename(temporary.constData(), QFile::encodeName(target.absoluteFilePath())) != 0) {
        const int code = errno;
        steps.remove(temporary.constData());
        return failure(errnoText(code, path), code);
    }
    // The new name is only durable once the folder's own entry list has reached the disk; the file
    // itself is in place by now, so a failure here is not one to report.
    steps.flushFolder(QFile::encodeName(target.absolutePath()).constData());
    return std::nullopt;
}

#else

FileError saveFileAtomically(const QString& path, const QByteArray& bytes, FileSteps&) {
    QSaveFile file(path);
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
    if (file.write(bytes) != bytes.size() || !file.flush() || !file.commit()) {
        const QFileDevice::FileError error = file.error();
        const QString system = file.errorString();
        file.cancelWriting();
        return failure(error, system);
    }
    return std::nullopt;
}

#endif

void removeLeftoverTemporaries(const QDir& folder) {
    // The pattern is the one saveFileAtomically makes: the file's own name, ".tmp-" and six
    // characters.
    for (const QString& name : folder.entryList({QStringLiteral("*.tmp-??????")}, QDir::Files)) {
        QFile::remove(folder.filePath(name));
    }
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
