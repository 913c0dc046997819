#include "app/journal_export.h"

#include <QFileInfo>

#include "journal/journal.h"
#include "journal/journal_csv.h"

namespace terval {
namespace {

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
    JournalOptions options;
    options.keepMonths = 0;  // a reader removes nothing
    CollectedMessages messages;
    Journal journal(folder, clock, messages, options);
    if (!QFileInfo::exists(journal.filePath())) {
        return {1, QStringLiteral("В папке %1 нет журнала %2.")
                       .arg(QDir::toNativeSeparators(folder.absolutePath()), options.fileName)};
    }
    journal.open();
    if (!journal.isReadable()) {
        return {1, messages.texts.isEmpty()
                       ? QStringLiteral("Журнал %1 не открывается.").arg(journal.filePath())
                       : messages.texts.join(QLatin1Char('\n'))};
    }
    JournalFilter filter;
    filter.from = request.from;
    filter.to = request.to;
    const JournalCount count = journal.count(filter);
    if (!count.error.isEmpty()) {
        return {1, count.error};
    }
    const QString path = QFileInfo(request.file).absoluteFilePath();
    if (const FileError error = exportJournalCsv(journal, filter, path)) {
        return {1, *error};
    }
    return {0, QStringLiteral("Записей выгружено: %1, в файл %2.")
                   .arg(count.rows)
                   .arg(QDir::toNativeSeparators(path))};
}

}  // namespace terval
