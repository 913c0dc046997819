// The alarm report over a real journal.db: random histories of alarm records, read back for random
// periods, against a reference worked out straight from the records written; and the bytes of its
// CSV file.
#include "journal/alarm_report.h"

#include <gtest/gtest.h>
#include <QFileInfo>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <tuple>

#include "support/fakes.h"
#include "support/journal_fixture.h"

namespace terval {

// gtest prints a row of the report as it reads in a table, not as bytes.
void PrintTo(const AlarmSubject& s, std::ostream* os) {
    *os << alarmId(s.kind, s.address).toStdString() << " #" << s.number << " "
        << s.generator.toStdString();
}
void PrintTo(const AlarmRaises& r, std::ostream* os) {
    PrintTo(r.subject, os);
    *os << " raised " << r.raises << " (" << r.suppressed << " suppressed), newest "
        << r.newestRaiseMs;
}
void PrintTo(const AlarmChatter& c, std::ostream* os) {
    PrintTo(c.subject, os);
    *os << " raised " << c.raises << ", " << c.mostInWindow << " in a minute from " << c.firstMs;
}
void PrintTo(const AlarmStanding& s, std::ostream* os) {
    PrintTo(s.subject, os);
    *os << " from " << s.sinceMs << " to " << (s.untilMs ? std::to_string(*s.untilMs) : "-") << ", "
        << s.withinMs << " within";
}

namespace {

using testing::FixedClock;
using testing::RecordingMessageSink;
using testing::WorkFolder;

const QDateTime kStart(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC);

struct RelayName {
    int number;
    uint16_t address;
};
const RelayName kRelays[] = {{1, 5}, {2, 12}, {3, 31}};
const AlarmKind kRelayKinds[] = {AlarmKind::ProtectionEvent, AlarmKind::TripRelay,
                                 AlarmKind::SignalRelay, AlarmKind::CircuitBreak,
                                 AlarmKind::NoAnswer};

// A history as the engine might leave it, and worse: changes in any order, states that need not
// follow from them, bursts of raises a second apart, days without a record, times repeated, names
// changing, and records of other kinds between.
std::vector<JournalEntry> randomHistory(std::mt19937& rng, int count) {
    std::vector<JournalEntry> records;
    std::map<QString, qint64> lastRaise;
    std::map<uint16_t, int> renames;
    qint64 t = kStart.toMSecsSinceEpoch();
    const auto pick = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    for (int i = 0; i < count; ++i) {
        const int step = pick(100);
        // Steps of exactly 20 s put a fourth raise exactly a minute after the first.
        t += step < 10   ? 0
             : step < 30 ? 20'000
             : step < 70 ? 1000LL * (1 + pick(20))
             : step < 95 ? 60'000LL * (1 + pick(300))
                         : 3'600'000LL * (20 + pick(60));
        JournalEntry e;
        e.timeMs = t;
        if (pick(10) == 0) {
            const RelayName& r = kRelays[pick(3)];
            e.kind = JournalKind::RelaySilent;
            e.relay = JournalRelay{r.number, r.address, QStringLiteral("не тот"), QString()};
            e.text = QStringLiteral("Защита не отвечает");
            records.push_back(e);
            continue;
        }
        Alarm a;
        // Now and then the same alarm again, in bursts.
        const auto* previous =
            records.empty() ? nullptr : std::get_if<AlarmDetails>(&records.back().details);
        if (previous && pick(3) == 0) {
            a.kind = previous->alarm.kind;
            a.address = previous->alarm.address;
            e.relay = records.back().relay;
        } else if (pick(6) == 0) {
            a.kind = AlarmKind::LinkLost;
            a.address = 0;
        } else {
            const RelayName& r = kRelays[pick(3)];
            a.kind = kRelayKinds[pick(5)];
            a.address = r.address;
            if (pick(200) == 0) {
                ++renames[r.address];
            }
            e.relay =
                JournalRelay{r.number + renames[r.address], r.address,
                             QStringLiteral("Г-%1; \"%2\"").arg(r.address).arg(renames[r.address]),
                             QStringLiteral("В-1")};
        }
        AlarmDetails d;
        d.change = pick(3) == 0 ? static_cast<AlarmChange>(pick(9)) : AlarmChange::Raised;
        d.alarm = a;
        Alarm& al = d.alarm;
        const QString id = alarmId(al);
        if (d.change == AlarmChange::Raised) {
            al.state = AlarmState::ActiveUnacknowledged;
            al.suppressed = al.kind == AlarmKind::NoAnswer && pick(3) == 0;
            lastRaise[id] = t;
        } else {
            al.state = static_cast<AlarmState>(pick(4));
        }
        if (lastRaise.count(id)) {
            al.raisedAtMs = lastRaise[id];
        } else if (pick(2) == 0) {
            al.raisedAtMs = t - 60'000LL * pick(5000);
        }
        al.text = QStringLiteral("сигнал %1").arg(i);
        e.kind = JournalKind::AlarmChanged;
        e.text = al.text;
        e.details = d;
        records.push_back(e);
    }
    return records;
}

// The report worked out the long way: every record looked at for every question.
AlarmReport reference(const std::vector<JournalEntry>& all, std::optional<qint64> from, qint64 to) {
    struct Key {
        uint16_t address;
        AlarmKind kind;
        auto operator<=>(const Key&) const = default;
    };
    const auto alarmOf = [](const JournalEntry& e) {
        return e.kind == JournalKind::AlarmChanged ? &std::get<AlarmDetails>(e.details) : nullptr;
    };
    const auto inPeriod = [&](const JournalEntry& e) {
        return e.timeMs < to && (!from || e.timeMs >= *from);
    };
    const auto subject = [&](Key key) {
        AlarmSubject s{key.kind, key.address, 0, QString()};
        for (const JournalEntry& e : all) {
            const AlarmDetails* d = alarmOf(e);
            if (d && e.timeMs < to && key.kind != AlarmKind::LinkLost &&
                d->alarm.kind != AlarmKind::LinkLost && d->alarm.address == key.address) {
                s.number = e.relay->number;
                s.generator = e.relay->generator;
            }
        }
        return s;
    };
    std::set<Key> keys;
    for (const JournalEntry& e : all) {
        if (const AlarmDetails* d = alarmOf(e)) {
            keys.insert({d->alarm.address, d->alarm.kind});
        }
    }
    AlarmReport r;
    r.fromMs = from;
    r.toMs = to;
    for (const Key key : keys) {
        std::vector<qint64> raises;
        int suppressed = 0;
        // The newest record before the period says how the alarm stood at its start.
        const JournalEntry* standingAtStart = nullptr;
        std::vector<const JournalEntry*> during;
        for (const JournalEntry& e : all) {
            const AlarmDetails* d = alarmOf(e);
            if (!d || d->alarm.address != key.address || d->alarm.kind != key.kind) {
                continue;
            }
            if (from && e.timeMs < *from) {
                standingAtStart = &e;
            } else if (inPeriod(e)) {
                during.push_back(&e);
                if (d->change == AlarmChange::Raised) {
                    raises.push_back(e.timeMs);
                    suppressed += d->alarm.suppressed;
                }
            }
        }
        if (!raises.empty()) {
            r.perAlarm.push_back({subject(key), static_cast<int>(raises.size()), suppressed,
                                  *std::max_element(raises.begin(), raises.end())});
            int most = 0;
            std::optional<qint64> first;
            for (qint64 a : raises) {
                const int n =
                    static_cast<int>(std::count_if(raises.begin(), raises.end(), [a](qint64 b) {
                        return b >= a && b < a + 60'000;
                    }));
                most = std::max(most, n);
                if (n > 3 && !first) {
                    first = a;
                }
            }
            if (most > 3) {
                r.chattering.push_back(
                    {subject(key), static_cast<int>(raises.size()), most, *first});
            }
        }
        std::optional<qint64> since;
        const auto stood = [&](qint64 end, std::optional<qint64> until) {
            const qint64 within = end - std::max(*since, from.value_or(*since));
            if (within > 24LL * 3600 * 1000) {
                r.standing.push_back({subject(key), *since, until, within});
            }
            since.reset();
        };
        if (standingAtStart) {
            const Alarm& a = std::get<AlarmDetails>(standingAtStart->details).alarm;
            if (a.state != AlarmState::Normal) {
                since = a.raisedAtMs.value_or(standingAtStart->timeMs);
            }
        }
        for (const JournalEntry* e : during) {
            const Alarm& a = std::get<AlarmDetails>(e->details).alarm;
            if (a.state != AlarmState::Normal && !since) {
                since = a.raisedAtMs.value_or(e->timeMs);
            } else if (a.state == AlarmState::Normal && since) {
                stood(e->timeMs, e->timeMs);
            }
        }
        if (since) {
            stood(to, std::nullopt);
        }
    }
    r.mostFrequent = r.perAlarm;
    std::sort(r.mostFrequent.begin(), r.mostFrequent.end(), [](const auto& a, const auto& b) {
        return std::tuple(-a.raises, -a.newestRaiseMs, a.subject.address, a.subject.kind) <
               std::tuple(-b.raises, -b.newestRaiseMs, b.subject.address, b.subject.kind);
    });
    r.mostFrequent.resize(std::min<size_t>(r.mostFrequent.size(), 10));
    std::sort(r.standing.begin(), r.standing.end(), [](const auto& a, const auto& b) {
        return std::tuple(-a.withinMs, a.subject.address, a.subject.kind, a.sinceMs) <
               std::tuple(-b.withinMs, b.subject.address, b.subject.kind, b.sinceMs);
    });
    return r;
}

std::vector<uint32_t> seeds() {
    if (const char* replay = std::getenv("TERVAL_REPORT_SEED")) {
        return {static_cast<uint32_t>(std::strtoul(replay, nullptr, 10))};
    }
    return {1u, 2u, std::random_device{}()};
}

TEST(AlarmReport, RandomHistoriesReadForRandomPeriodsMatchTheReference) {
    for (const uint32_t seed : seeds()) {
        SCOPED_TRACE(::testing::Message() << "replay with TERVAL_REPORT_SEED=" << seed);
        std::mt19937 rng(seed);
        WorkFolder folder;
        FixedClock clock(kStart);
        RecordingMessageSink messages;
        JournalOptions options;
        options.keepMonths = 0;
        Journal journal(folder.dir(), clock, messages, options);
        ASSERT_TRUE(journal.open());
        // More than one page of the journal's reading.
        const std::vector<JournalEntry> all = randomHistory(rng, 2600);
        testing::appendAll(journal, all);
        const qint64 first = all.front().timeMs;
        const qint64 last = all.back().timeMs;
        const auto moment = [&] {
            return std::uniform_int_distribution<qint64>(first - 86'400'000,
                                                         last + 86'400'000)(rng);
        };
        for (int round = 0; round < 40; ++round) {
            std::optional<qint64> from;
            qint64 to = moment();
            if (round % 5 != 0) {
                // A period's bounds on a record's own time now and then, where off-by-one hides.
                from = round % 3 == 0 ? all[rng() % all.size()].timeMs : moment();
                if (*from > to) {
                    std::swap(*from, to);
                }
            }
            SCOPED_TRACE(::testing::Message() << "round " << round);
            const AlarmReport got = readAlarmReport(journal, from, to);
            ASSERT_TRUE(got.error.isEmpty()) << got.error.toStdString();
            const AlarmReport want = reference(all, from, to);
            EXPECT_EQ(got.perAlarm, want.perAlarm);
            EXPECT_EQ(got.mostFrequent, want.mostFrequent);
            EXPECT_EQ(got.chattering, want.chattering);
            EXPECT_EQ(got.standing, want.standing);
            if (::testing::Test::HasFailure()) {
                return;
            }
        }
    }
}

TEST(AlarmReport, CsvBytesHaveTheJournalExportsFormatSectionBySection) {
    const QTimeZone zone(3 * 3600);
    const qint64 t0 = QDateTime(QDate(2026, 12, 1), QTime(9, 0), zone).toMSecsSinceEpoch();
    const AlarmSubject link{AlarmKind::LinkLost, 0, 0, QString()};
    const AlarmSubject quoted{AlarmKind::NoAnswer, 12, 2, QStringLiteral("Г-2; \"Южный\"")};
    const AlarmSubject trip{AlarmKind::TripRelay, 5, 1, QStringLiteral("ТГ-1")};
    AlarmReport full;
    full.fromMs = t0;
    full.toMs = t0 + 3 * 86'400'000LL;
    full.perAlarm = {{link, 2, 0, t0 + 60'000}, {quoted, 5, 3, t0 + 120'000}};
    full.mostFrequent = {full.perAlarm[1], full.perAlarm[0]};
    full.chattering = {{quoted, 5, 4, t0 + 1000}};
    full.standing = {{trip, t0 - 3'600'000, std::nullopt, 3 * 86'400'000LL},
                     {link, t0 + 1000, t0 + 90'061'000, 90'060'000}};
    AlarmReport empty;
    empty.toMs = t0;

    const struct {
        const char* name;
        const AlarmReport& report;
        QString text;
    } cases[] = {
        {"nothing in the period: four titled sections with their headers only", empty,
         QStringLiteral("Отчёт по аварийным сигналам;с первой записи по 01.12.2026 09:00:00\r\n"
                        "\r\nСигналы по защитам и видам\r\n"
                        "Защита;Адрес;Генератор;Сигнал;Приоритет;Появлений;Подавлено;"
                        "Последнее появление\r\n"
                        "\r\nДесять самых частых\r\n"
                        "Место;Защита;Адрес;Генератор;Сигнал;Приоритет;Появлений;Подавлено;"
                        "Последнее появление\r\n"
                        "\r\nДребезг: более 3 появлений за минуту\r\n"
                        "Защита;Адрес;Генератор;Сигнал;Появлений;Наибольшее за минуту;Впервые\r\n"
                        "\r\nСтоят дольше 24 ч\r\n"
                        "Защита;Адрес;Генератор;Сигнал;Появился;Вернулся в норму;В периоде\r\n")},
        {"the link without a relay, a name quoted, suppressed raises, one still standing", full,
         QStringLiteral(
             "Отчёт по аварийным сигналам;с 01.12.2026 09:00:00 по 04.12.2026 09:00:00\r\n"
             "\r\nСигналы по защитам и видам\r\n"
             "Защита;Адрес;Генератор;Сигнал;Приоритет;Появлений;Подавлено;"
             "Последнее появление\r\n"
             "Связь;;;Связь потеряна;высокий;2;;01.12.2026 09:01:00\r\n"
             "2;12;\"Г-2; \"\"Южный\"\"\";Защита не отвечает;низкий;5;3;01.12.2026 09:02:00\r\n"
             "\r\nДесять самых частых\r\n"
             "Место;Защита;Адрес;Генератор;Сигнал;Приоритет;Появлений;Подавлено;"
             "Последнее появление\r\n"
             "1;2;12;\"Г-2; \"\"Южный\"\"\";Защита не отвечает;низкий;5;3;01.12.2026 09:02:00\r\n"
             "2;Связь;;;Связь потеряна;высокий;2;;01.12.2026 09:01:00\r\n"
             "\r\nДребезг: более 3 появлений за минуту\r\n"
             "Защита;Адрес;Генератор;Сигнал;Появлений;Наибольшее за минуту;Впервые\r\n"
             "2;12;\"Г-2; \"\"Южный\"\"\";Защита не отвечает;5;4;01.12.2026 09:00:01\r\n"
             "\r\nСтоят дольше 24 ч\r\n"
             "Защита;Адрес;Генератор;Сигнал;Появился;Вернулся в норму;В периоде\r\n"
             "1;5;ТГ-1;Реле ОТКЛЮЧЕНИЯ;01.12.2026 08:00:00;не вернулся;72 ч 00 мин\r\n"
             "Связь;;;Связь потеряна;01.12.2026 09:00:01;02.12.2026 10:01:01;25 ч 01 мин\r\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray bytes = alarmReportCsv(c.report, zone);
        ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
        EXPECT_EQ(QString::fromUtf8(bytes.mid(3)), c.text);
    }
}

TEST(AlarmReport, ACsvThatCannotBeWrittenLeavesNothingUnderItsName) {
    WorkFolder folder;
    const QString path = folder.path(QStringLiteral("missing/report.csv"));
    AlarmReport report;
    const FileError error = saveAlarmReportCsv(report, path);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->contains(QStringLiteral("report.csv"))) << error->toStdString();
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(saveAlarmReportCsv(report, folder.path(QStringLiteral("report.csv"))));
    EXPECT_TRUE(folder.read(QStringLiteral("report.csv")).startsWith("\xEF\xBB\xBF"));
}

}  // namespace
}  // namespace terval
