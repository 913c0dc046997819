#include "journal/alarm_report.h"

#include <QDateTime>
#include <QFileInfo>
#include <algorithm>
#include <map>

#include "journal/journal_csv.h"

namespace terval {
namespace {

struct Key {
    uint16_t address;
    AlarmKind kind;
    auto operator<=>(const Key&) const = default;
};

// What the report gathers of one alarm while it goes through the records in their order.
struct Tally {
    std::vector<qint64> raisesMs;
    int suppressed = 0;
    bool away = false;
    qint64 sinceMs = 0;
    std::vector<AlarmStanding> standing;
};

struct Name {
    int number = 0;
    QString generator;
};

// The stretch from `sinceMs` to `endMs` as far as it lies within the period.
qint64 withinPeriod(qint64 sinceMs, qint64 endMs, std::optional<qint64> fromMs) {
    return endMs - (fromMs ? std::max(sinceMs, *fromMs) : sinceMs);
}

void closeStretch(Tally& tally, qint64 endMs, std::optional<qint64> untilMs,
                  std::optional<qint64> fromMs) {
    const qint64 within = withinPeriod(tally.sinceMs, endMs, fromMs);
    if (within > AlarmReport::kStandingMs) {
        AlarmStanding s;
        s.sinceMs = tally.sinceMs;
        s.untilMs = untilMs;
        s.withinMs = within;
        tally.standing.push_back(s);
    }
    tally.away = false;
}

// Whether the alarm is now away from normal, from the record that says how it stands; a stretch
// away starts when the alarm was raised, as the record keeps it.
void follow(Tally& tally, const JournalEntry& entry, const Alarm& alarm,
            std::optional<qint64> fromMs) {
    const bool away = alarm.state != AlarmState::Normal;
    if (away && !tally.away) {
        tally.away = true;
        tally.sinceMs = alarm.raisedAtMs.value_or(entry.timeMs);
    } else if (!away && tally.away) {
        closeStretch(tally, entry.timeMs, entry.timeMs, fromMs);
    }
}

QString timeText(qint64 ms, const QTimeZone& zone) {
    return QDateTime::fromMSecsSinceEpoch(ms, zone).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

QStringList subjectCells(const AlarmSubject& s) {
    return {alarmSubjectRelayText(s),
            s.kind == AlarmKind::LinkLost ? QString() : QString::number(s.address), s.generator,
            alarmKindText(s.kind)};
}

AlarmReportTable raisesTable(const QString& title, const std::vector<AlarmRaises>& rows,
                             bool ranked, const QTimeZone& zone) {
    AlarmReportTable table;
    table.title = title;
    if (ranked) {
        table.header << QStringLiteral("Место");
    }
    table.header << QStringLiteral("Защита") << QStringLiteral("Адрес")
                 << QStringLiteral("Генератор") << QStringLiteral("Сигнал")
                 << QStringLiteral("Приоритет") << QStringLiteral("Появлений")
                 << QStringLiteral("Подавлено") << QStringLiteral("Последнее появление");
    int place = 0;
    for (const AlarmRaises& r : rows) {
        AlarmReportTable::Row row;
        if (ranked) {
            row.cells << QString::number(++place);
        }
        row.cells << subjectCells(r.subject) << alarmPriorityText(alarmPriority(r.subject.kind))
                  << QString::number(r.raises)
                  << (r.suppressed > 0 ? QString::number(r.suppressed) : QString())
                  << timeText(r.newestRaiseMs, zone);
        row.priority = alarmPriority(r.subject.kind);
        row.suppressed = r.suppressed > 0;
        table.rows.push_back(row);
    }
    return table;
}

}  // namespace

AlarmReport alarmReport(const std::vector<JournalEntry>& before,
                        const std::vector<JournalEntry>& period, std::optional<qint64> fromMs,
                        qint64 toMs) {
    AlarmReport report;
    report.fromMs = fromMs;
    report.toMs = toMs;
    std::map<Key, Tally> tallies;
    std::map<uint16_t, Name> names;
    const auto take = [&](const JournalEntry& entry, bool inPeriod) {
        const auto* d = std::get_if<AlarmDetails>(&entry.details);
        if (entry.kind != JournalKind::AlarmChanged || !d) {
            return;
        }
        ++report.records;
        const Alarm& alarm = d->alarm;
        if (entry.relay && alarm.kind != AlarmKind::LinkLost) {
            names[alarm.address] = Name{entry.relay->number, entry.relay->generator};
        }
        Tally& tally = tallies[Key{alarm.address, alarm.kind}];
        if (inPeriod && d->change == AlarmChange::Raised) {
            tally.raisesMs.push_back(entry.timeMs);
            tally.suppressed += alarm.suppressed ? 1 : 0;
        }
        follow(tally, entry, alarm, fromMs);
    };
    for (const JournalEntry& entry : before) {
        take(entry, false);
    }
    for (const JournalEntry& entry : period) {
        take(entry, true);
    }

    const auto subjectOf = [&](const Key& key) {
        AlarmSubject s{key.kind, key.address, 0, QString()};
        if (key.kind != AlarmKind::LinkLost) {
            if (const auto name = names.find(key.address); name != names.end()) {
                s.number = name->second.number;
                s.generator = name->second.generator;
            }
        }
        return s;
    };
    for (auto& [key, tally] : tallies) {
        if (tally.away) {
            closeStretch(tally, toMs, std::nullopt, fromMs);
        }
        for (AlarmStanding& s : tally.standing) {
            s.subject = subjectOf(key);
            report.standing.push_back(s);
        }
        if (tally.raisesMs.empty()) {
            continue;
        }
        const AlarmSubject subject = subjectOf(key);
        report.perAlarm.push_back({subject, static_cast<int>(tally.raisesMs.size()),
                                   tally.suppressed, tally.raisesMs.back()});
        // The most raises within a window that opens at a raise: any window holding as many
        // opens at or before its first raise, so no other window can hold more.
        const std::vector<qint64>& t = tally.raisesMs;
        AlarmChatter chatter{subject, static_cast<int>(t.size()), 0, 0};
        for (size_t i = 0, j = 0; i < t.size(); ++i) {
            j = std::max(j, i);
            while (j < t.size() && t[j] - t[i] < AlarmReport::kChatterWindowMs) {
                ++j;
            }
            const int within = static_cast<int>(j - i);
            if (within > AlarmReport::kChatterRaises &&
                chatter.mostInWindow <= AlarmReport::kChatterRaises) {
                chatter.firstMs = t[i];
            }
            chatter.mostInWindow = std::max(chatter.mostInWindow, within);
        }
        if (chatter.mostInWindow > AlarmReport::kChatterRaises) {
            report.chattering.push_back(chatter);
        }
    }

    report.mostFrequent = report.perAlarm;
    std::stable_sort(report.mostFrequent.begin(), report.mostFrequent.end(),
                     [](const AlarmRaises& a, const AlarmRaises& b) {
                         if (a.raises != b.raises) {
                             return a.raises > b.raises;
                         }
                         return a.newestRaiseMs > b.newestRaiseMs;
                     });
    if (report.mostFrequent.size() > static_cast<size_t>(AlarmReport::kMostFrequent)) {
        report.mostFrequent.resize(AlarmReport::kMostFrequent);
    }
    std::stable_sort(
        report.standing.begin(), report.standing.end(),
        [](const AlarmStanding& a, const AlarmStanding& b) { return a.withinMs > b.withinMs; });
    return report;
}

AlarmReport readAlarmReport(Journal& journal, std::optional<qint64> fromMs, qint64 toMs) {
    const auto failed = [&](const QString& error) {
        AlarmReport report;
        report.fromMs = fromMs;
        report.toMs = toMs;
        report.error = error;
        return report;
    };
    JournalRows before;
    if (fromMs) {
        before = journal.alarmRecordsBefore(*fromMs);
        if (!before.error.isEmpty()) {
            return failed(before.error);
        }
    }
    const JournalRows period = journal.alarmRecords(fromMs, toMs);
    if (!period.error.isEmpty()) {
        return failed(period.error);
    }
    return alarmReport(before.entries, period.entries, fromMs, toMs);
}

namespace {

// What opening the journal for reading had to say, kept for the report's error.
class KeptMessages final : public MessageSink {
  public:
    void showMessage(MessageIcon, const QString& text, const QString&) override { texts << text; }
    QStringList texts;
};

}  // namespace

AlarmReport readAlarmReportFromFile(const QString& path, const Clock& clock,
                                    std::optional<qint64> fromMs, qint64 toMs) {
    const QFileInfo file(path);
    JournalOptions options;
    options.fileName = file.fileName();
    options.keepMonths = 0;  // a reader removes nothing
    KeptMessages messages;
    Journal reader(file.absoluteDir(), clock, messages, options);
    if (!reader.openForReading()) {
        AlarmReport report;
        report.fromMs = fromMs;
        report.toMs = toMs;
        report.error =
            messages.texts.isEmpty()
                ? QStringLiteral("Журнал %1 не открывается.").arg(QDir::toNativeSeparators(path))
                : messages.texts.join(QLatin1Char('\n'));
        return report;
    }
    return readAlarmReport(reader, fromMs, toMs);
}

QString alarmSubjectRelayText(const AlarmSubject& subject) {
    if (subject.kind == AlarmKind::LinkLost) {
        return QStringLiteral("Связь");
    }
    return subject.number > 0 ? QString::number(subject.number) : QString();
}

QString alarmDurationText(qint64 ms) {
    const qint64 minutes = ms / 60'000;
    return QStringLiteral("%1 ч %2 мин")
        .arg(minutes / 60)
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString alarmReportPeriodText(const AlarmReport& report, const QTimeZone& zone) {
    const QString to = QStringLiteral("по ") + timeText(report.toMs, zone);
    return report.fromMs
               ? QStringLiteral("с ") + timeText(*report.fromMs, zone) + QLatin1Char(' ') + to
               : QStringLiteral("с первой записи ") + to;
}

std::vector<AlarmReportTable> alarmReportTables(const AlarmReport& report, const QTimeZone& zone) {
    std::vector<AlarmReportTable> tables;
    tables.push_back(
        raisesTable(QStringLiteral("Сигналы по защитам и видам"), report.perAlarm, false, zone));
    tables.push_back(
        raisesTable(QStringLiteral("Десять самых частых"), report.mostFrequent, true, zone));

    AlarmReportTable chatter;
    chatter.title =
        QStringLiteral("Дребезг: более %1 появлений за минуту").arg(AlarmReport::kChatterRaises);
    chatter.header = {QStringLiteral("Защита"),    QStringLiteral("Адрес"),
                      QStringLiteral("Генератор"), QStringLiteral("Сигнал"),
                      QStringLiteral("Появлений"), QStringLiteral("Наибольшее за минуту"),
                      QStringLiteral("Впервые")};
    for (const AlarmChatter& c : report.chattering) {
        AlarmReportTable::Row row;
        row.cells << subjectCells(c.subject) << QString::number(c.raises)
                  << QString::number(c.mostInWindow) << timeText(c.firstMs, zone);
        row.priority = alarmPriority(c.subject.kind);
        chatter.rows.push_back(row);
    }
    tables.push_back(chatter);

    AlarmReportTable standing;
    standing.title = QStringLiteral("Стоят дольше 24 ч");
    standing.header = {QStringLiteral("Защита"),    QStringLiteral("Адрес"),
                       QStringLiteral("Генератор"), QStringLiteral("Сигнал"),
                       QStringLiteral("Появился"),  QStringLiteral("Вернулся в норму"),
                       QStringLiteral("В периоде")};
    for (const AlarmStanding& s : report.standing) {
        AlarmReportTable::Row row;
        row.cells << subjectCells(s.subject) << timeText(s.sinceMs, zone)
                  << (s.untilMs ? timeText(*s.untilMs, zone) : QStringLiteral("не вернулся"))
                  << alarmDurationText(s.withinMs);
        row.priority = alarmPriority(s.subject.kind);
        standing.rows.push_back(row);
    }
    tables.push_back(standing);
    return tables;
}

QByteArray alarmReportCsv(const AlarmReport& report, const QTimeZone& zone) {
    const auto line = [](const QStringList& fields) {
        QStringList quoted;
        for (const QString& f : fields) {
            quoted << csvField(f);
        }
        return (quoted.join(QLatin1Char(';')) + QStringLiteral("\r\n")).toUtf8();
    };
    QByteArray bytes("\xEF\xBB\xBF");
    bytes +=
        line({QStringLiteral("Отчёт по аварийным сигналам"), alarmReportPeriodText(report, zone)});
    for (const AlarmReportTable& table : alarmReportTables(report, zone)) {
        bytes += "\r\n";
        bytes += line({table.title});
        bytes += line(table.header);
        for (const AlarmReportTable::Row& row : table.rows) {
            bytes += line(row.cells);
        }
    }
    return bytes;
}

FileError saveAlarmReportCsv(const AlarmReport& report, const QString& path, const QTimeZone& zone,
                             FileSteps& steps) {
    return saveFileAtomically(path, alarmReportCsv(report, zone), steps);
}

}  // namespace terval
