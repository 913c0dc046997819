#include "app/journal_export.h"

#include <QFileInfo>
#include <QTimeZone>
#include <cerrno>
#include <cstring>

#include "devices/error_text.h"
#include "journal/journal.h"
#include "journal/journal_csv.h"

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace terval {
namespace {

// Records read at a time: the file is built in memory, but never a whole journal of entries.
constexpr int kExportPage = 2000;

// The files the station keeps in its working folder, that an export must never replace.
bool isStationFileName(const QString& name) {
    static const QStringList names{QStringLiteral("gen.dat"),     QStringLiteral("param.dat"),
                                   QStringLiteral("config.cfg"),  QStringLiteral("terval.ini"),
                                   QStringLiteral("Bitmap1.bmp"), QStringLiteral("Bitmap2.bmp"),
                                   QStringLiteral("Bitmap3.bmp"), QStringLiteral("Bitmap4.bmp")};
    // The journal with its log and index, and whatever else goes by its name (a damaged one set
    // aside).
    return names.contains(name) || name.startsWith(JournalOptions{}.fileName);
}

// The file behind a name, whatever name it is reached by (a second hard link).
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
};
std::optional<FileIdentity> identityOf(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino)};
#else
    Q_UNUSED(path);
    return std::nullopt;
#endif
}

// Where the target really is: symbolic links and ".." followed, for a file not there yet its
// folder's.
QString resolvedPath(const QString& target) {
    QFileInfo file(target);
    for (int guard = 0; guard < 40 && !file.exists() && file.isSymLink(); ++guard) {
        file = QFileInfo(file.symLinkTarget());
    }
    if (file.exists()) {
        const QString canonical = file.canonicalFilePath();
        return canonical.isEmpty() ? file.absoluteFilePath() : canonical;
    }
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? file.absoluteFilePath() : folder + QLatin1Char('/') + file.fileName();
}

}  // namespace

std::optional<QString> stationFileAt(const QDir& folder, const QString& target) {
    const QString stationFolder = QFileInfo(folder.absolutePath()).canonicalFilePath();
    const QFileInfo resolved(resolvedPath(target));
    QString own;
    if (QFileInfo(resolved.absolutePath()).canonicalFilePath() == stationFolder &&
        isStationFileName(resolved.fileName())) {
        own = resolved.fileName();
    } else if (const std::optional<FileIdentity> id = identityOf(resolved.absoluteFilePath())) {
        for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            const std::optional<FileIdentity> other = identityOf(folder.absoluteFilePath(name));
            if (isStationFileName(name) && other && other->device == id->device &&
                other->inode == id->inode) {
                own = name;
                break;
            }
        }
    }
    if (own.isEmpty()) {
        return std::nullopt;
    }
    return own;
}

namespace {

// Why `target` must not be written, with what the operator should do instead.
std::optional<QString> refusal(const QDir& folder, const QString& target, const char* instead) {
    const std::optional<QString> own = stationFileAt(folder, target);
    if (!own) {
        return std::nullopt;
    }
    return QStringLiteral("Файл %1 — это %2, файл станции в папке %3: %4")
        .arg(QDir::toNativeSeparators(target), *own,
             QDir::toNativeSeparators(folder.absolutePath()), QString::fromUtf8(instead));
}

}  // namespace

std::optional<QString> stationFileSaveRefusal(const QDir& folder, const QString& target) {
    return refusal(folder, target, "сохранение заменило бы его. Выберите другой файл.");
}

namespace {

// Why the export must not write the target.
std::optional<QString> stationFileRefusal(const QDir& folder, const QString& target) {
    return refusal(folder, target,
                   "выгрузка заменила бы его. Выгрузите журнал в другой файл, например "
                   "journal.csv.");
}

// A regular file (or a new one) is replaced whole, only once every byte is on the disk. A device
// or a pipe (/dev/stdout) is written straight, every write checked and the close as well; a
// storage device never.
FileError writeExport(const QString& target, const QByteArray& bytes) {
#ifndef Q_OS_UNIX
    return saveFileAtomically(target, bytes);
#else
    struct stat st {};
    const QByteArray name = QFile::encodeName(target);
    if (::stat(name.constData(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        return saveFileAtomically(target, bytes);
    }
    const auto failure = [&](int code) {
        return QStringLiteral("Не удалось записать файл %1: %2.")
                   .arg(QDir::toNativeSeparators(target), errnoText(code, target)) +
               systemDetail(QString::fromLocal8Bit(std::strerror(code)));
    };
    if (S_ISBLK(st.st_mode)) {
        return QStringLiteral("Не удалось записать файл %1: это устройство хранения, а не файл.")
            .arg(QDir::toNativeSeparators(target));
    }
    const int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return failure(errno);
    }
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int code = n == 0 ? ENOSPC : errno;
            ::close(fd);
            return failure(code);
        }
        done += n;
    }
    if (::close(fd) != 0) {
        return failure(errno);
    }
    return std::nullopt;
#endif
}

// Messages from opening the journal, kept to be printed rather than shown in a box.
class CollectedMessages final : public MessageSink {
  public:
    void showMessage(MessageIcon, const QString& text, const QString&) override { texts << text; }
    QStringList texts;
};

}  // namespace

std::optional<QDateTime> parseExportDate(const QString& text, bool endOfDay) {
    const QString t = text.trimmed();
    for (const char* format : {"dd.MM.yyyy HH:mm:ss", "dd.MM.yyyy HH:mm", "yyyy-MM-ddTHH:mm:ss",
                               "yyyy-MM-ddTHH:mm", "yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm"}) {
        const QDateTime moment = QDateTime::fromString(t, QString::fromLatin1(format));
        if (moment.isValid()) {
            return moment;
        }
    }
    for (const char* format : {"dd.MM.yyyy", "yyyy-MM-dd"}) {
        const QDate day = QDate::fromString(t, QString::fromLatin1(format));
        if (day.isValid()) {
            return (endOfDay ? day.addDays(1) : day).startOfDay();
        }
    }
    return std::nullopt;
}

JournalExportParse journalExportRequest(const QString& file, const QString& from,
                                        const QString& to) {
    JournalExportParse result;
    if (file.trimmed().isEmpty()) {
        result.error = QStringLiteral("Не указан файл для выгрузки журнала.");
        return result;
    }
    JournalExportRequest request;
    request.file = file;
    const struct {
        const QString& text;
        const char* option;
        bool endOfDay;
        QDateTime* into;
    } dates[] = {{from, "--from", false, &request.from}, {to, "--to", true, &request.to}};
    for (const auto& d : dates) {
        if (d.text.isEmpty()) {
            continue;
        }
        const std::optional<QDateTime> moment = parseExportDate(d.text, d.endOfDay);
        if (!moment) {
            result.error = QStringLiteral(
                               "Дата «%1» после %2 не понята. Пишите её как 07.12.2026 "
                               "или 07.12.2026 14:30.")
                               .arg(d.text, QString::fromLatin1(d.option));
            return result;
        }
        *d.into = *moment;
    }
    if (request.from.isValid() && request.to.isValid() && request.from >= request.to) {
        result.error =
            QStringLiteral("Начало выгрузки (%1) не раньше её конца (%2).").arg(from, to);
        return result;
    }
    result.request = request;
    return result;
}

JournalExportResult exportJournal(const QDir& folder, const JournalExportRequest& request,
                                  const Clock& clock) {
    // A relative name is the shell's: from the folder the command was given in.
    const QString target = QFileInfo(request.file).absoluteFilePath();
    if (const std::optional<QString> refusal = stationFileRefusal(folder, target)) {
        return {2, *refusal};
    }
    JournalOptions options;
    options.keepMonths = 0;  // a reader removes nothing
    JournalFilter filter;
    filter.from = request.from;
    filter.to = request.to;
    const QTimeZone zone = QTimeZone::systemTimeZone();
    // The header alone, to be left off every page after the first.
    const QByteArray header = journalCsv({}, zone);
    QByteArray bytes;
    qint64 records = 0;
    // Read again, once, should a station start on the file while it is read as it stood.
    for (int pass = 0; pass < 2; ++pass) {
        CollectedMessages messages;
        Journal journal(folder, clock, messages, options);
        if (!journal.openForReading()) {
            return {1, messages.texts.isEmpty()
                           ? QStringLiteral("Журнал %1 не открывается.").arg(journal.filePath())
                           : messages.texts.join(QLatin1Char('\n'))};
        }
        bytes = header;
        records = 0;
        std::optional<JournalCursor> after;
        for (;;) {
            const JournalRows page = journal.read(filter, kExportPage, after);
            if (!page.error.isEmpty()) {
                return {1, page.error};
            }
            bytes += journalCsv(page.entries, zone).mid(header.size());
            records += static_cast<qint64>(page.entries.size());
            if (page.entries.size() < static_cast<size_t>(kExportPage)) {
                break;
            }
            after = cursorAfter(page.entries.back());
        }
        if (journal.readUndisturbed()) {
            break;
        }
    }
    if (const FileError error = writeExport(target, bytes)) {
        return {1, *error};
    }
    return {0, QStringLiteral("Записей выгружено: %1, в файл %2.")
                   .arg(records)
                   .arg(QDir::toNativeSeparators(target))};
}

}  // namespace terval
