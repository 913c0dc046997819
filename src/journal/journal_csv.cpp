#include "journal/journal_csv.h"

#include <QStringList>

namespace terval {
namespace {

// Records read at a time: the file is built in memory, but never a whole journal of entries.
constexpr int kExportPage = 2000;

}  // namespace

QString csvField(const QString& text) {
    if (!text.contains(QLatin1Char(';')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r'))) {
        return text;
    }
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

namespace {

QByteArray header() {
    return QByteArray("\xEF\xBB\xBF") +
           QStringLiteral("Дата и время;Вид;Защита;Адрес;Генератор;Выключатель;Событие\r\n")
               .toUtf8();
}

QByteArray line(const JournalEntry& entry, const QTimeZone& zone) {
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(entry.timeMs, zone);
    QStringList fields{time.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")),
                       journalGroupName(journalGroup(entry.kind))};
    if (entry.relay) {
        fields << QString::number(entry.relay->number) << QString::number(entry.relay->address)
               << csvField(entry.relay->generator) << csvField(entry.relay->breaker);
    } else {
        fields << QString() << QString() << QString() << QString();
    }
    fields << csvField(entry.text);
    return (fields.join(QLatin1Char(';')) + QStringLiteral("\r\n")).toUtf8();
}

}  // namespace

QByteArray journalCsv(const std::vector<JournalEntry>& entries, const QTimeZone& zone) {
    QByteArray bytes = header();
    for (const JournalEntry& entry : entries) {
        bytes += line(entry, zone);
    }
    return bytes;
}

FileError exportJournalCsv(Journal& journal, const JournalFilter& filter, const QString& path,
                           const QTimeZone& zone, FileSteps& steps) {
    QByteArray bytes = header();
    std::optional<JournalCursor> after;
    for (;;) {
        const JournalRows page = journal.read(filter, kExportPage, after);
        if (!page.error.isEmpty()) {
            return page.error;
        }
        for (const JournalEntry& entry : page.entries) {
            bytes += line(entry, zone);
        }
        if (page.entries.size() < static_cast<size_t>(kExportPage)) {
            break;
        }
        after = cursorAfter(page.entries.back());
    }
    return saveFileAtomically(path, bytes, steps);
}

}  // namespace terval
