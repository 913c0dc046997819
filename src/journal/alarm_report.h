#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTimeZone>
#include <cstdint>
#include <optional>
#include <vector>

#include "devices/stored_file.h"
#include "journal/journal.h"

namespace terval {

// Which alarm a row of the report is about, named as its relay was named by its newest record the
// report read: the relay may have been renamed, moved to another tile or deleted since.
struct AlarmSubject {
    AlarmKind kind = AlarmKind::LinkLost;
    uint16_t address = 0;  // 0 for the link
    int number = 0;        // the relay's tile; 0 for the link
    QString generator;
    bool operator==(const AlarmSubject&) const = default;
};

// How often one alarm was raised in the period.
struct AlarmRaises {
    AlarmSubject subject;
    int raises = 0;
    // Of them, raised while the link alarm suppressed it: they count as raises, since the relay
    // really stopped answering and a maintainer looking for a bad cable wants to know each time,
    // but the operator was not called for them, which the table has to say.
    int suppressed = 0;
    qint64 newestRaiseMs = 0;
    bool operator==(const AlarmRaises&) const = default;
};

// An alarm raised more than kChatterRaises times within kChatterWindowMs (the first and the last of
// them less than a minute apart): a chattering one.
struct AlarmChatter {
    AlarmSubject subject;
    int raises = 0;        // in the whole period
    int mostInWindow = 0;  // the most raises within any one window
    qint64 firstMs = 0;    // the first raise of the first window that chattered
    bool operator==(const AlarmChatter&) const = default;
};

// A stretch of time an alarm stayed away from normal for longer than kStandingMs within the
// period.
struct AlarmStanding {
    AlarmSubject subject;
    qint64 sinceMs = 0;             // raised, perhaps before the period
    std::optional<qint64> untilMs;  // back to normal; nothing when still away at the period's end
    qint64 withinMs = 0;            // how long of it lies within the period
    bool operator==(const AlarmStanding&) const = default;
};

struct AlarmReport {
    static constexpr int kMostFrequent = 10;
    static constexpr int kChatterRaises = 3;
    static constexpr qint64 kChatterWindowMs = 60'000;
    static constexpr qint64 kStandingMs = 24LL * 3600 * 1000;

    std::optional<qint64> fromMs;  // nothing: from the first record
    qint64 toMs = 0;               // the period's end, exclusive
    // Every alarm raised in the period, by relay address (the link first), then by kind.
    std::vector<AlarmRaises> perAlarm;
    // The most raised, the newest raise first among equals; at most kMostFrequent.
    std::vector<AlarmRaises> mostFrequent;
    // By relay address, then by kind.
    std::vector<AlarmChatter> chattering;
    // The longest first.
    std::vector<AlarmStanding> standing;
    qint64 records = 0;  // alarm records read for it
    QString error;       // why the journal could not be read; empty when it could
};

// The report from alarm records: `before` holds the newest record of each alarm before the
// period (how the alarms stood at its start), `period` the records within it, both oldest first.
// Records of other kinds are passed over.
AlarmReport alarmReport(const std::vector<JournalEntry>& before,
                        const std::vector<JournalEntry>& period, std::optional<qint64> fromMs,
                        qint64 toMs);

// The report of the journal's alarm records from `fromMs` (nothing: from the first) to `toMs`.
AlarmReport readAlarmReport(Journal& journal, std::optional<qint64> fromMs, qint64 toMs);

// The same through a read-only connection of its own to the journal file at `path`, as another
// program beside the station reads it: for a thread other than the station's journal's, so that a
// year of records never holds up the windows. Records the station still holds in memory, unable
// to write them, are not in it.
AlarmReport readAlarmReportFromFile(const QString& path, const Clock& clock,
                                    std::optional<qint64> fromMs, qint64 toMs);

// What the tables and the CSV file call things: "3" and "Связь" for the link; "26 ч 05 мин".
QString alarmSubjectRelayText(const AlarmSubject& subject);
QString alarmDurationText(qint64 ms);

// One section of the report as the window and the CSV file show it: its title, its column
// headers, and each row's cells with the alarm's priority (for its colour) and whether any of its
// raises was suppressed.
struct AlarmReportTable {
    struct Row {
        QStringList cells;
        AlarmPriority priority = AlarmPriority::Low;
        bool suppressed = false;
    };
    QString title;
    QStringList header;
    std::vector<Row> rows;
};
// The four sections: per relay and kind, the most frequent, chattering, standing.
std::vector<AlarmReportTable> alarmReportTables(const AlarmReport& report, const QTimeZone& zone);
// "с 01.12.2026 00:00 по 08.12.2026 00:00", or "по …" from the first record.
QString alarmReportPeriodText(const AlarmReport& report, const QTimeZone& zone);

// The four sections one after another, each with a title line, a header line and its rows, in the
// journal export's format (UTF-8 with a byte order mark, ";" between fields, CRLF).
QByteArray alarmReportCsv(const AlarmReport& report, const QTimeZone& zone);
// Written whole or not at all; the Russian message to show, or nothing when it was written.
FileError saveAlarmReportCsv(const AlarmReport& report, const QString& path,
                             const QTimeZone& zone = QTimeZone::systemTimeZone(),
                             FileSteps& steps = systemFileSteps());

}  // namespace terval
