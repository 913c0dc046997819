#include "devices/error_text.h"

#include <QFileInfo>
#include <cerrno>

namespace terval {

QString fileErrorText(QFileDevice::FileError error, const QString& path) {
    const QFileInfo file(path);
    const QFileInfo folder(file.absolutePath());
    // Qt reports this one under several codes.
    if (file.isDir()) {
        return QStringLiteral("под этим именем в папке находится другая папка");
    }
    switch (error) {
        case QFileDevice::OpenError:
        case QFileDevice::PermissionsError:
            if (!folder.exists()) {
                return QStringLiteral("папки %1 нет").arg(folder.absoluteFilePath());
            }
            if (file.exists() && !file.isWritable()) {
                return QStringLiteral("файл защищён от записи");
            }
            if (!folder.isWritable()) {
                return QStringLiteral("нет права на запись в папку %1")
                    .arg(folder.absoluteFilePath());
            }
            return QStringLiteral("файл не удаётся открыть");
        case QFileDevice::WriteError:
        case QFileDevice::ResizeError:
            return QStringLiteral("запись прервалась (возможно, на диске нет места)");
        case QFileDevice::ReadError:
            return QStringLiteral("ошибка чтения");
        case QFileDevice::RenameError:
        case QFileDevice::RemoveError:
            return QStringLiteral("прежний файл не удалось заменить новым");
        case QFileDevice::ResourceError:
            return QStringLiteral("не хватает места на диске или системных ресурсов");
        case QFileDevice::PositionError:
            return QStringLiteral("ошибка позиционирования в файле");
        default:
            return QStringLiteral("ошибка файловой системы");
    }
}

QString errnoText(int code, const QString& path) {
    const QFileInfo file(path);
    const QString folder = file.absolutePath();
    switch (code) {
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return QStringLiteral("на диске нет места");
        case EACCES:
        case EPERM:
            return QFileInfo(folder).isWritable()
                       ? QStringLiteral("нет права на запись")
                       : QStringLiteral("нет права на запись в папку %1").arg(folder);
        case EROFS:
            return QStringLiteral("диск доступен только для чтения");
        case EISDIR:
            return QStringLiteral("под этим именем в папке находится другая папка");
        case ENOENT:
        case ENOTDIR:
            return QStringLiteral("папки %1 нет").arg(folder);
        case EIO:
            return QStringLiteral("ошибка ввода-вывода на диске");
        case EMFILE:
        case ENFILE:
        case ENOMEM:
            return QStringLiteral("не хватает системных ресурсов");
        default:
            return QStringLiteral("ошибка файловой системы");
    }
}

QString systemDetail(const QString& systemText) {
    if (systemText.trimmed().isEmpty()) {
        return {};
    }
    return QStringLiteral("\nСообщение системы: ") + systemText;
}

QString russianCount(long long n, const QString& one, const QString& few, const QString& many) {
    const long long tens = (n < 0 ? -n : n) % 100;
    const long long units = tens % 10;
    const QString& noun = tens >= 11 && tens <= 14   ? many
                          : units == 1               ? one
                          : units >= 2 && units <= 4 ? few
                                                     : many;
    return QStringLiteral("%1 %2").arg(n).arg(noun);
}

}  // namespace terval
