// The station's journal in a real SQLite file: every kind of record written and read back whole,
// the layout brought up from nothing or from version 1 (gaining the insulation trend's tables) and
// a newer one left alone, a damaged file set aside, a read-only folder and a full disk reported
// once without stopping anything, old records trimmed, filters and pages that give exactly the
// filter's records, and the export a Russian spreadsheet opens, byte for byte.
#include "journal/journal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QTimeZone>
#include <QVariant>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>

#include "journal/insulation_trend.h"
#include "journal/journal_csv.h"
#include "journal/journal_schema.h"
#include "support/fakes.h"
#include "support/journal_fixture.h"
#include "support/wait_until.h"

namespace terval {

// gtest shows a record that differs by what an operator would look at first.
void PrintTo(const JournalEntry& e, std::ostream* os) {
    *os << "{id " << e.id << ", " << e.timeMs << " ms, kind " << static_cast<int>(e.kind)
        << ", relay " << (e.relay ? e.relay->number : 0) << " "
        << (e.relay ? e.relay->generator.toStdString() : std::string()) << ", \""
        << e.text.toStdString() << "\", details #" << e.details.index() << "}";
}

namespace {

using testing::FixedClock;
using testing::OtherConnection;
using testing::RecordingMessageSink;
using testing::WorkFolder;

const QDateTime kNow(QDate(2024, 3, 15), QTime(14, 30, 5));

JournalRelay relay3() {
    return {3, 17, QStringLiteral("Г-3 \"Юг\""), QStringLiteral("В;3")};
}

TripRecord sampleRecord() {
    TripRecord record{};
    for (size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<uint16_t>(0x0101 * i);
    }
    record[0] = 0x0503;
    record[30] = 0xFFFF;
    record[31] = 0x8001;
    return record;
}

// One record of every kind, and of the kinds whose details have optional parts, one with and one
// without them.
std::vector<JournalEntry> oneOfEveryKind(qint64 startMs) {
    using K = JournalKind;
    const std::optional<JournalRelay> none;
    const auto r = relay3();
    const QString line = QStringLiteral("15.03.2024 14:29:58  : Г-3 \"Юг\",Реле ОТКЛЮЧЕНИЯ");
    std::vector<JournalEntry> entries{
        {0, 0, K::ProtectionEvent, r, line,
         ProtectionEventDetails{QDateTime(QDate(2024, 3, 15), QTime(14, 29, 58)), 1,
                                QStringLiteral("Реле ОТКЛЮЧЕНИЯ"), sampleRecord()}},
        {0, 0, K::ProtectionEvent, r, QStringLiteral("Неисправность защиты"),
         ProtectionEventDetails{QDateTime(), 54, QStringLiteral("Неисправность"), std::nullopt}},
        {0, 0, K::Acknowledgement, r, QStringLiteral("Событие квитировано"), {}},
        {0, 0, K::AlarmLineMarked, none, QStringLiteral("Строка отмечена: ") + line,
         AlarmLineDetails{line}},
        {0, 0, K::AlarmLineDeleted, none, QStringLiteral("Строка удалена: ") + line,
         AlarmLineDetails{line}},
        {0, 0, K::AlarmLogCleared, none, QStringLiteral("Журнал тревог очищен: 7 строк"),
         AlarmLogClearedDetails{7}},
        {0, 0, K::OperatorConnect, none, QStringLiteral("Установить связь"),
         LinkDetails{QStringLiteral("Ethernet TCP/IP 10.0.0.5:502"), {}, std::nullopt}},
        {0, 0, K::OperatorDisconnect, none, QStringLiteral("Отключиться"),
         LinkDetails{QStringLiteral("RS-485 COM3"), {}, std::nullopt}},
        {0, 0, K::LinkEstablished, none, QStringLiteral("Связь установлена"),
         LinkDetails{QStringLiteral("Ethernet TCP/IP 10.0.0.5:502"), {}, std::nullopt}},
        {0, 0, K::LinkLost, none, QStringLiteral("Связь потеряна"),
         LinkDetails{QStringLiteral("RS-485 COM3"),
                     QStringLiteral("Устройство порта больше недоступно.\nNo such device"),
                     std::nullopt}},
        {0, 0, K::LinkRestored, none, QStringLiteral("Связь восстановлена"),
         LinkDetails{QStringLiteral("RS-485 COM3"), {}, 3'725'000}},
        {0, 0, K::RelaySilent, r, QStringLiteral("Защита не отвечает"), {}},
        {0, 0, K::RelayAnswering, r, QStringLiteral("Защита снова отвечает"),
         SilenceDetails{90'061'000}},
        {0, 0, K::RelayWrite, r, QStringLiteral("Уставка записана: 12.0"),
         WriteDetails{0x0405, QStringLiteral("Уставка сигнализации, кОм"), 150, 120,
                      WriteOutcome::Echoed, 0}},
        {0, 0, K::RelayWrite, r, QStringLiteral("Ошибка записи"),
         WriteDetails{0x0406, QStringLiteral("Уставка отключения"), std::nullopt, 0xFFFF,
                      WriteOutcome::Refused, 2}},
        {0, 0, K::RelayWrite, r, QStringLiteral("Нет ответа на запись"),
         WriteDetails{0x0500, QStringLiteral("Часы"), 0, 1, WriteOutcome::NoEcho, 0}},
        {0, 0, K::RelayWrite, r, QStringLiteral("Не отправлено"),
         WriteDetails{0x0401, QStringLiteral("Режим"), 3, 4, WriteOutcome::NotSent, 0}},
        {0, 0, K::ClockSet, r, QStringLiteral("Часы установлены"),
         ClockDetails{-125'500, QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7)), WriteOutcome::Refused,
                      4}},
        {0, 0, K::ClockSet, r, QStringLiteral("Часы не установлены"),
         ClockDetails{std::nullopt, QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7)),
                      WriteOutcome::NotSent, 0}},
        {0, 0, K::ClockOffset, r, QStringLiteral("Часы расходятся"),
         ClockDetails{25 * 3'600'000LL, {}, std::nullopt, 0}},
        {0, 0, K::DeviceAdded, r, QStringLiteral("Добавлен объект"),
         DeviceChangeDetails{std::nullopt, DeviceNames{17, r.generator, r.breaker}}},
        {0, 0, K::DeviceChanged, r, QStringLiteral("Изменён объект"),
         DeviceChangeDetails{DeviceNames{16, QStringLiteral("Старый"), QStringLiteral("Q0")},
                             DeviceNames{17, r.generator, r.breaker}}},
        {0, 0, K::DeviceDeleted, r, QStringLiteral("Удалён объект"),
         DeviceChangeDetails{DeviceNames{17, r.generator, r.breaker}, std::nullopt}},
        {0, 0, K::StationStarted, none, QStringLiteral("Станция запущена"), {}},
        {0, 0, K::StationStopped, none, QStringLiteral("Станция остановлена"), {}},
        {0, 0, K::BrokerLost, none, QStringLiteral("Брокер MQTT недоступен"),
         LinkDetails{QStringLiteral("10.0.0.5:8883"), QStringLiteral("брокер отказал"), {}}},
        {0, 0, K::BrokerRestored, none, QStringLiteral("Брокер MQTT снова доступен"),
         LinkDetails{QStringLiteral("10.0.0.5:8883"), {}, 65'000}},
        {0, 0, K::RecordsLost, none, QStringLiteral("Потеряно: записей журнала — 3"), {}},
        {0, 0, K::DcsClientConnected, none,
         QStringLiteral("Клиент Modbus-сервера 10.1.0.7:50312 подключился"),
         LinkDetails{QStringLiteral("10.1.0.7:50312"), {}, {}}},
        {0, 0, K::DcsClientLeft, none, QStringLiteral("Клиент Modbus-сервера отключился"),
         LinkDetails{QStringLiteral("10.1.0.7:50312"), QStringLiteral("нет запросов 60 с"), {}}},
        {0, 0, K::DcsClientRefused, none, QStringLiteral("Клиент Modbus-сервера отклонён"),
         LinkDetails{QStringLiteral("192.168.9.9:4000"),
                     QStringLiteral("адрес не из разрешённых сетей (ещё 12 не записано)"),
                     {}}},
        {0, 0, K::AlarmChanged, r, QStringLiteral("Квитирован: Реле ОТКЛЮЧЕНИЯ"),
         AlarmDetails{Alarm{AlarmKind::TripRelay, 17, AlarmState::ActiveAcknowledged,
                            1'700'000'000'123, std::nullopt, 1'700'000'060'000, 1'700'003'600'000,
                            QStringLiteral("ремонт цепи; «Юг»"), QStringLiteral("оператор"), true,
                            QStringLiteral("Г-3: Реле ОТКЛЮЧЕНИЯ")},
                      AlarmChange::Acknowledged, QStringLiteral("оператор")}},
        {0, 0, K::AlarmChanged, none, QStringLiteral("Связь потеряна"),
         AlarmDetails{Alarm{AlarmKind::LinkLost,
                            0,
                            AlarmState::ReturnedUnacknowledged,
                            1'700'000'000'000,
                            1'700'000'005'000,
                            std::nullopt,
                            std::nullopt,
                            {},
                            {},
                            false,
                            QStringLiteral("Связь потеряна")},
                      AlarmChange::Returned,
                      {}}},
    };
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].timeMs = startMs + static_cast<qint64>(i) * 1000 + 123;
    }
    return entries;
}

JournalFilter withRelay(int relay, JournalFilter filter = {}) {
    filter.relay = relay;
    return filter;
}
JournalFilter withKinds(JournalKinds kinds, JournalFilter filter = {}) {
    filter.kinds = kinds;
    return filter;
}
JournalFilter withText(const QString& text, JournalFilter filter = {}) {
    filter.text = text;
    return filter;
}
JournalFilter between(qint64 fromMs, qint64 toMs) {
    JournalFilter filter;
    filter.from = QDateTime::fromMSecsSinceEpoch(fromMs);
    filter.to = QDateTime::fromMSecsSinceEpoch(toMs);
    return filter;
}
JournalOptions keeping(int months) {
    JournalOptions options;
    options.keepMonths = months;
    return options;
}

class JournalTest : public ::testing::Test {
  protected:
    Journal& openJournal(JournalOptions options = {}) {
        journal_.reset();
        journal_ = std::make_unique<Journal>(folder.dir(), clock, sink, options);
        journal_->open();
        return *journal_;
    }
    // Every record of the filter, a page at a time.
    std::vector<JournalEntry> readAll(const JournalFilter& filter = {}, int page = 7) {
        return testing::readAllRecords(*journal_, filter, page);
    }
    QStringList files() const { return folder.dir().entryList(QDir::Files, QDir::Name); }
    static void appendSome(Journal& journal, int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(journal.append(JournalKind::RelaySilent, relay3(),
                                       QStringLiteral("Защита не отвечает")));
        }
    }

    WorkFolder folder;
    FixedClock clock{kNow};
    RecordingMessageSink sink;
    std::unique_ptr<Journal> journal_;
};

TEST_F(JournalTest, EveryKindIsWrittenAndReadBackWholeFromTheFile) {
    const std::vector<JournalEntry> written = oneOfEveryKind(kNow.toMSecsSinceEpoch() - 60'000);
    for (int code = 1; code <= kLastJournalKind; ++code) {
        EXPECT_TRUE(
            std::any_of(written.begin(), written.end(),
                        [code](const JournalEntry& e) { return static_cast<int>(e.kind) == code; }))
            << "no sample record of kind " << code;
    }
    Journal& journal = openJournal();
    ASSERT_TRUE(journal.isWriting());
    for (const JournalEntry& e : written) {
        EXPECT_TRUE(journal.append(e)) << static_cast<int>(e.kind);
    }
    journal.close();

    // Read by a journal of its own, from what reached the file.
    Journal& again = openJournal();
    std::vector<JournalEntry> read = readAll();
    ASSERT_EQ(read.size(), written.size());
    std::reverse(read.begin(), read.end());
    for (size_t i = 0; i < written.size(); ++i) {
        EXPECT_GT(read[i].id, i == 0 ? 0 : read[i - 1].id);
        JournalEntry expected = written[i];
        expected.id = read[i].id;
        EXPECT_EQ(read[i], expected);
    }
    // The computer's time comes back to the millisecond and is shown in local time.
    EXPECT_EQ(read[0].localTime().time().msec(), 123);
    EXPECT_EQ(read[0].localTime().timeSpec(), Qt::LocalTime);
    EXPECT_EQ(again.lostRecords(), 0);
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.texts().join('\n').toStdString();
}

TEST_F(JournalTest, RecordsThatDoNotFitTheirKindAreRefusedAndCounted) {
    Journal& journal = openJournal();
    EXPECT_FALSE(
        journal.append(JournalKind::ProtectionEvent, relay3(), QStringLiteral("x"), LinkDetails{}));
    EXPECT_FALSE(journal.append(JournalKind::StationStarted, std::nullopt, QStringLiteral("x"),
                                ClockDetails{}));
    EXPECT_FALSE(journal.append(JournalKind::Unknown, std::nullopt, QStringLiteral("x")));
    JournalRelay wrong = relay3();
    wrong.number = 33;
    EXPECT_FALSE(journal.append(JournalKind::RelaySilent, wrong, QStringLiteral("x")));
    EXPECT_EQ(journal.lostRecords(), 4);
    // The journal goes on: the next good record is stored, stamped with the computer's time.
    EXPECT_TRUE(journal.append(JournalKind::StationStarted, std::nullopt,
                               QStringLiteral("Станция запущена")));
    const std::vector<JournalEntry> all = readAll();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].timeMs, kNow.toMSecsSinceEpoch());
    EXPECT_TRUE(sink.messages.isEmpty());
}

TEST_F(JournalTest, ANewOrEmptyFileGetsTheCurrentLayoutInWriteAheadMode) {
    for (const bool emptyFileThere : {false, true}) {
        WorkFolder place;
        if (emptyFileThere) {
            place.write("journal.db", {});
        }
        Journal journal(place.dir(), clock, sink);
        ASSERT_TRUE(journal.open());
        EXPECT_TRUE(journal.append(JournalKind::StationStarted, std::nullopt,
                                   QStringLiteral("Станция запущена")));
        journal.close();
        const QByteArray header = place.read("journal.db").left(100);
        ASSERT_EQ(header.size(), 100);
        EXPECT_TRUE(header.startsWith("SQLite format 3"));
        // File format versions 2 and 2: the write-ahead log.
        EXPECT_EQ(header[18], 2);
        EXPECT_EQ(header[19], 2);
        EXPECT_EQ(qFromBigEndian<int32_t>(header.constData() + 68), kJournalApplicationId);
        OtherConnection raw(place.path("journal.db"));
        EXPECT_EQ(journalSchemaVersion(raw.db()), kJournalSchemaVersion);
        EXPECT_EQ(raw.value("SELECT count(*) FROM schema_version").toInt(), 1);
        EXPECT_EQ(raw.value("SELECT count(*) FROM entries").toInt(), 1);
    }
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.texts().join('\n').toStdString();
}

TEST_F(JournalTest, AVersionOneFileIsOpenedWithItsRecords) {
    {
        OtherConnection raw(folder.path("journal.db"));
        ASSERT_EQ(journalSchemaVersion(raw.db()), 0);
        ASSERT_FALSE(migrateJournal(raw.db(), 0, 1));
        ASSERT_EQ(journalSchemaVersion(raw.db()), 1);
        // A record as version 1 lays it out, written by hand rather than by the journal.
        raw.exec(QStringLiteral(
            "INSERT INTO entries (time_ms, kind, relay, address, generator, breaker, text, "
            "details, protocol, search) VALUES (1710513005123, 9, NULL, NULL, NULL, NULL, "
            "'Связь потеряна', '{\"link\":\"RS-485 COM3\",\"reason\":\"Порт пропал\"}', NULL, "
            "'связь потеряна')"));
        raw.exec(QStringLiteral(
            "INSERT INTO entries (time_ms, kind, relay, address, generator, breaker, text, "
            "details, protocol, search) VALUES (1710513006000, 1, 2, 7, 'Г2', 'В2', 'Событие', "
            "'{\"relayTime\":\"2024-03-15T14:29:58.000\",\"sign\":3,\"signText\":\"Альфа 2\"}', "
            "x'0105FFFF', 'событие')"));
        // A kind a later program may add, in the same layout.
        raw.exec(QStringLiteral(
            "INSERT INTO entries (time_ms, kind, relay, address, generator, breaker, text, "
            "details, protocol, search) VALUES (1710513004000, 31, NULL, NULL, NULL, NULL, "
            "'Новое', '{\"x\":1}', NULL, 'новое')"));
    }
    Journal& journal = openJournal();
    ASSERT_TRUE(journal.isWriting()) << journal.problem().toStdString();
    std::vector<JournalEntry> all = readAll();
    ASSERT_EQ(all.size(), 3u);
    // The unknown kind still shows its time and text.
    EXPECT_EQ(all[2].kind, JournalKind::Unknown);
    EXPECT_EQ(all[2].text, QStringLiteral("Новое"));
    EXPECT_EQ(journalGroupName(journalGroup(all[2].kind)), QStringLiteral("Неизвестная запись"));
    EXPECT_EQ(all[1].timeMs, 1710513005123);
    EXPECT_EQ(all[1].kind, JournalKind::LinkLost);
    EXPECT_FALSE(all[1].relay);
    EXPECT_EQ(all[1].details,
              JournalDetails(LinkDetails{QStringLiteral("RS-485 COM3"),
                                         QStringLiteral("Порт пропал"), std::nullopt}));
    // A protocol of the wrong length is no protocol; the rest of the record still reads.
    EXPECT_EQ(all[0].relay, (JournalRelay{2, 7, QStringLiteral("Г2"), QStringLiteral("В2")}));
    EXPECT_EQ(all[0].details, JournalDetails(ProtectionEventDetails{
                                  QDateTime(QDate(2024, 3, 15), QTime(14, 29, 58)), 3,
                                  QStringLiteral("Альфа 2"), std::nullopt}));
    EXPECT_TRUE(journal.append(JournalKind::StationStarted, std::nullopt, QStringLiteral("Пуск")));
    EXPECT_EQ(journal.count({}).rows, 4);
    // Version 2 brought the insulation trend beside the records.
    InsulationTrend trend(journal);
    trend.add({7, 1710513007000, 950, 40});
    EXPECT_TRUE(trend.flush());
    ASSERT_TRUE(trend.storeLevels(7, {1710513007500, 500, 250}));
    EXPECT_EQ(trend.read(7, 1710513000000, 1710513010000).points,
              (std::vector<TrendPoint>{{1710513007000, 950, 950, 950, 40, 1}}));
    EXPECT_EQ(trend.levels(7), (AlarmLevels{1710513007500, 500, 250}));
    // Version 3 brought the numbers kept beside the records; the old event is numbered and
    // found after any record before it.
    EXPECT_FALSE(journal.mark(QStringLiteral("plant_confirmed_event")));
    ASSERT_TRUE(journal.storeMark(QStringLiteral("plant_confirmed_event"), 2));
    ASSERT_TRUE(journal.storeMark(QStringLiteral("plant_confirmed_event"), 7));
    EXPECT_EQ(journal.mark(QStringLiteral("plant_confirmed_event")), 7);
    EXPECT_EQ(journal.newestProtectionEvent(), 2);
    const NumberedEvents events = journal.protectionEventsAfter(0, 10);
    ASSERT_EQ(events.entries.size(), 1u) << events.error.toStdString();
    EXPECT_EQ(events.entries[0].id, 2);
    EXPECT_EQ(events.previous, std::vector<qint64>{0});
    EXPECT_TRUE(journal.protectionEventsAfter(2, 10).entries.empty());
    journal.close();
    ASSERT_TRUE(journal.open());
    EXPECT_EQ(journal.mark(QStringLiteral("plant_confirmed_event")), 7);
    journal.close();
    OtherConnection raw(folder.path("journal.db"));
    EXPECT_EQ(journalSchemaVersion(raw.db()), kJournalSchemaVersion);
    EXPECT_EQ(raw.value("SELECT count(*) FROM entries").toInt(), 4);
    // Each trend table is its own index by relay and time; nothing else is indexed.
    EXPECT_EQ(raw.value("SELECT group_concat(name) FROM (SELECT name FROM sqlite_master WHERE "
                        "type = 'index' ORDER BY name)")
                  .toString(),
              QStringLiteral("entries_by_relay,entries_by_time"));
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.texts().join('\n').toStdString();
}

TEST_F(JournalTest, AFileOfANewerProgramIsLeftAloneAndTheStationGoesOn) {
    {
        Journal& journal = openJournal();
        ASSERT_TRUE(journal.append(JournalKind::StationStarted, std::nullopt, QStringLiteral("П")));
        journal.close();
        OtherConnection raw(folder.path("journal.db"));
        raw.exec(QStringLiteral("UPDATE schema_version SET version = %1")
                     .arg(kJournalSchemaVersion + 1));
    }
    journal_.reset();
    const QByteArray before = folder.read("journal.db");
    ASSERT_EQ(files(), QStringList{"journal.db"});

    Journal& journal = openJournal();
    EXPECT_FALSE(journal.isWriting());
    ASSERT_EQ(sink.messages.size(), 1);
    EXPECT_EQ(sink.messages[0].icon, MessageIcon::Error);
    EXPECT_EQ(sink.messages[0].text,
              QStringLiteral("Журнал событий journal.db записан более новой версией программы "
                             "(версия журнала %1, эта программа знает версии до %2).\nФайл "
                             "оставлен без изменений.\nСтанция работает без журнала: события в "
                             "него не записываются.")
                  .arg(kJournalSchemaVersion + 1)
                  .arg(kJournalSchemaVersion));
    EXPECT_FALSE(journal.append(JournalKind::StationStarted, std::nullopt, QStringLiteral("П")));
    EXPECT_FALSE(journal.append(JournalKind::StationStopped, std::nullopt, QStringLiteral("С")));
    EXPECT_EQ(journal.lostRecords(), 2);
    EXPECT_FALSE(journal.read({}, 10).error.isEmpty());
    EXPECT_EQ(sink.messages.size(), 1);
    journal.close();
    EXPECT_EQ(folder.read("journal.db"), before);
    EXPECT_EQ(files(), QStringList{"journal.db"});
}

// A file in the journal's place that is damaged or not a journal at all.
TEST_F(JournalTest, ADamagedFileIsSetAsideAndANewJournalStarted) {
    const auto notADatabase = [](const WorkFolder& f) {
        f.write("journal.db", QStringLiteral("Это не база данных.\n").repeated(200).toUtf8());
    };
    const auto damagedPage = [this](const WorkFolder& f) {
        Journal journal(f.dir(), clock, sink);
        ASSERT_TRUE(journal.open());
        for (int i = 0; i < 300; ++i) {
            journal.append(JournalKind::RelaySilent, relay3(),
                           QStringLiteral("Защита не отвечает %1").arg(i));
        }
        journal.close();
        QFile file(f.path("journal.db"));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_GT(file.size(), 6 * 4096);
        // The root page of the entries table (the third of the file), written over.
        file.seek(2 * 4096);
        file.write(QByteArray(4096, '\x5A'));
    };
    const auto foreign = [](const WorkFolder& f) {
        OtherConnection raw(f.path("journal.db"));
        raw.exec("CREATE TABLE accounts (name TEXT)");
        raw.exec("INSERT INTO accounts VALUES ('не наше')");
    };
    const struct {
        const char* name;
        std::function<void(const WorkFolder&)> make;
        const char* reason;
    } cases[] = {
        {"not a database", notADatabase, "это не файл базы данных"},
        // Damage in what the start reads itself; deeper in the file it is found after the start.
        {"damaged page", damagedPage, "его структура нарушена"},
        {"another program's database", foreign, "в нём не журнал станции, а другая база данных"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WorkFolder place;
        c.make(place);
        const QByteArray damaged = place.read("journal.db");
        sink.messages.clear();

        Journal journal(place.dir(), clock, sink);
        EXPECT_TRUE(journal.open());
        ASSERT_EQ(sink.messages.size(), 1);
        EXPECT_EQ(sink.messages[0].icon, MessageIcon::Warning);
        EXPECT_TRUE(sink.messages[0].text.startsWith(
            QStringLiteral("Журнал событий journal.db повреждён (%1) и переименован в "
                           "journal.db.broken-20240315-143005.\nНачат новый журнал.")
                .arg(QString::fromUtf8(c.reason))))
            << sink.messages[0].text.toStdString();
        EXPECT_EQ(place.read("journal.db.broken-20240315-143005"), damaged);
        // The new journal is empty and works.
        EXPECT_EQ(journal.count({}).rows, 0);
        EXPECT_TRUE(journal.append(JournalKind::StationStarted, std::nullopt, QStringLiteral("П")));
        EXPECT_EQ(journal.count({}).rows, 1);
        journal.close();

        // Damaged again within the same second: the first one set aside stays as it was.
        notADatabase(place);
        Journal next(place.dir(), clock, sink);
        EXPECT_TRUE(next.open());
        EXPECT_TRUE(sink.messages.back().text.contains("journal.db.broken-20240315-143005-2"));
        EXPECT_EQ(place.read("journal.db.broken-20240315-143005"), damaged);
    }
}

// Damage deep in a long journal, where the start reads nothing: the start does not wait for the
// check of the whole file, which finds the damage in the background; the file is set aside then,
// and what was written since the start goes on in the new journal.
TEST_F(JournalTest, DamageFoundAfterTheStartSetsTheFileAsideWithWhatWasWrittenSince) {
    {
        Journal& journal = openJournal();
        JournalBatch batch(journal);
        for (int i = 0; i < 5000; ++i) {
            journal.append(JournalKind::RelaySilent, relay3(),
                           QStringLiteral("Защита не отвечает %1").arg(i));
        }
    }
    journal_.reset();
    {
        QFile file(folder.path("journal.db"));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const qint64 pages = file.size() / 4096;
        ASSERT_GT(pages, 100);
        // A page of old records in the middle of the file, written over.
        file.seek(pages / 2 * 4096);
        file.write(QByteArray(4096, '\x5A'));
    }
    const QByteArray damaged = folder.read("journal.db");
    sink.messages.clear();

    Journal& journal = openJournal();
    ASSERT_TRUE(journal.isWriting());
    InsulationTrend trend(journal);
    // The result comes through the event loop, which has not turned yet: whatever the check has
    // found by now, the start has not waited for it.
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.texts().join('\n').toStdString();
    ASSERT_TRUE(journal.append(JournalKind::StationStarted, std::nullopt, QStringLiteral("Пуск")));
    const qint64 now = kNow.toMSecsSinceEpoch();
    trend.add({3, now + 1000, 1200, 100});
    trend.add({3, now + 2000, 1150, 100});
    ASSERT_TRUE(trend.flush());
    trend.add({3, now + 3000, 1100, 100});  // still in memory

    const auto warned = [&] {
        QCoreApplication::processEvents();
        return std::any_of(sink.messages.begin(), sink.messages.end(),
                           [](const auto& m) { return m.icon == MessageIcon::Warning; });
    };
    ASSERT_TRUE(testing::waitUntil(warned, std::chrono::seconds(60)))
        << sink.texts().join('\n').toStdString();
    const auto warning = std::find_if(sink.messages.begin(), sink.messages.end(),
                                      [](const auto& m) { return m.icon == MessageIcon::Warning; });
    EXPECT_TRUE(warning->text.startsWith(QStringLiteral(
        "Журнал событий journal.db повреждён (проверка целостности нашла ошибки) и переименован в "
        "journal.db.broken-20240315-143005.\nНачат новый журнал; записи, сделанные с запуска "
        "станции, перенесены в него.")))
        << warning->text.toStdString();
    // The file as it was, with what the station wrote into it since, set aside whole.
    EXPECT_TRUE(folder.exists("journal.db.broken-20240315-143005"));
    EXPECT_GE(QFileInfo(folder.path("journal.db.broken-20240315-143005")).size(), damaged.size());

    // The new journal holds the start and the readings, and takes what comes.
    ASSERT_TRUE(journal.isWriting());
    std::vector<JournalEntry> records = readAll();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, QStringLiteral("Пуск"));
    ASSERT_TRUE(trend.flush());
    const TrendSeries series = trend.read(3, now, now + kMinuteMs, TrendResolution::Raw);
    ASSERT_TRUE(series.error.isEmpty()) << series.error.toStdString();
    std::vector<double> values;
    for (const TrendPoint& p : series.points) {
        values.push_back(p.mean);
    }
    EXPECT_EQ(values, (std::vector<double>{1200, 1150, 1100}));
    EXPECT_TRUE(journal.append(JournalKind::StationStopped, std::nullopt, QStringLiteral("Стоп")));
    EXPECT_EQ(journal.count({}).rows, 2);
    EXPECT_EQ(journal.lostRecords(), 0);
}

// A small file system of the test's own, that can be made read-only or filled to the last byte:
// running as root, a folder's permissions would not stop anything.
class JournalOnItsOwnDisk : public JournalTest {
  protected:
    void SetUp() override {
        disk = std::make_unique<testing::SmallDisk>(folder.dir(), 512);
        if (!disk->unavailable().isEmpty()) {
            GTEST_SKIP() << qPrintable(disk->unavailable());
        }
    }
    void TearDown() override {
        journal_.reset();
        disk.reset();
    }
    void makeReadOnly() { ASSERT_TRUE(disk->makeReadOnly()) << std::strerror(errno); }
    void fill() { disk->fill(); }

    std::unique_ptr<testing::SmallDisk> disk;
};

TEST_F(JournalOnItsOwnDisk, AReadOnlyFolderIsReportedOnceAndRecordsAreCounted) {
    makeReadOnly();
    Journal& journal = openJournal();
    EXPECT_FALSE(journal.isWriting());
    EXPECT_FALSE(journal.isReadable());
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(
            journal.append(JournalKind::StationStarted, std::nullopt, QStringLiteral("П")));
    }
    {
        JournalBatch batch(journal);
        EXPECT_FALSE(
            journal.append(JournalKind::StationStopped, std::nullopt, QStringLiteral("С")));
    }
    EXPECT_EQ(journal.lostRecords(), 4);
    ASSERT_EQ(sink.messages.size(), 1);
    EXPECT_EQ(sink.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(sink.messages[0].text.startsWith(QStringLiteral(
        "Не удалось открыть журнал событий journal.db: нет права на запись в папку")))
        << sink.messages[0].text.toStdString();
    EXPECT_TRUE(sink.messages[0].text.contains(QStringLiteral("Станция работает без журнала")));
    EXPECT_EQ(journal.read({}, 10).error, sink.messages[0].text);
    EXPECT_EQ(files(), QStringList());
}

TEST_F(JournalOnItsOwnDisk, AJournalInAFolderThatBecameReadOnlyIsLeftAsItIs) {
    appendSome(openJournal(), 5);
    journal_.reset();
    const QByteArray before = folder.read("journal.db");
    makeReadOnly();
    Journal& journal = openJournal();
    EXPECT_FALSE(journal.isWriting());
    EXPECT_FALSE(journal.append(JournalKind::StationStarted, std::nullopt, QStringLiteral("П")));
    EXPECT_EQ(journal.lostRecords(), 1);
    ASSERT_EQ(sink.messages.size(), 1);
    EXPECT_EQ(sink.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(sink.messages[0].text.startsWith(
        QStringLiteral("Не удалось открыть журнал событий journal.db: ")))
        << sink.messages[0].text.toStdString();
    EXPECT_FALSE(sink.messages[0].text.contains(QStringLiteral("повреждён")));
    journal_.reset();
    EXPECT_EQ(files(), QStringList{"journal.db"});
    EXPECT_EQ(folder.read("journal.db"), before);
}

TEST_F(JournalOnItsOwnDisk, AFullDiskHoldsTheRecordsTellsOnceAndKeepsWhatWasWritten) {
    Journal& journal = openJournal();
    appendSome(journal, 10);
    fill();
    int stored = 10;
    for (int i = 0; i < 10000 && journal.isWriting(); ++i) {
        ASSERT_TRUE(journal.append(JournalKind::RelaySilent, relay3(),
                                   QStringLiteral("Защита не отвечает")));
        stored += journal.isWriting() ? 1 : 0;
    }
    ASSERT_FALSE(journal.isWriting()) << "the disk never ran out";
    EXPECT_TRUE(journal.isHolding());
    EXPECT_TRUE(journal.append(JournalKind::StationStopped, std::nullopt, QStringLiteral("С")));
    EXPECT_EQ(journal.heldRecords(), 2u);
    EXPECT_EQ(journal.lostRecords(), 0);
    ASSERT_EQ(sink.messages.size(), 1);
    EXPECT_EQ(sink.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(sink.messages[0].text.startsWith(
        QStringLiteral("Не удалось записать в журнал событий journal.db: на диске нет места.\n"
                       "Записи ждут в памяти")))
        << sink.messages[0].text.toStdString();
    // What was written is still there to read, and what waited is written at the close once
    // there is room again.
    EXPECT_EQ(journal.count({}).rows, stored);
    ASSERT_TRUE(QFile::remove(folder.path("filler")));
    Journal& again = openJournal();
    EXPECT_TRUE(again.isWriting());
    EXPECT_EQ(again.count({}).rows, stored + 2);
    EXPECT_EQ(sink.messages.size(), 2);
}

TEST_F(JournalOnItsOwnDisk, ABatchThatCannotBeCommittedHoldsEveryRecordOfIt) {
    Journal& journal = openJournal();
    appendSome(journal, 3);
    fill();
    {
        JournalBatch outer(journal);
        JournalBatch inner(journal);
        // Held in the transaction until the outermost batch ends.
        appendSome(journal, 5);
    }
    EXPECT_FALSE(journal.isWriting());
    EXPECT_EQ(journal.heldRecords(), 5u);
    EXPECT_EQ(journal.lostRecords(), 0);
    ASSERT_EQ(sink.messages.size(), 1);
    EXPECT_TRUE(sink.messages[0].text.contains(QStringLiteral("на диске нет места")))
        << sink.messages[0].text.toStdString();
    EXPECT_EQ(journal.count({}).rows, 3);
    ASSERT_TRUE(QFile::remove(folder.path("filler")));
    EXPECT_TRUE(journal.retry(true));
    EXPECT_EQ(journal.count({}).rows, 8);
}

TEST_F(JournalTest, ABatchReachesTheFileWhenTheOutermostOneEnds) {
    Journal& journal = openJournal();
    OtherConnection other(folder.path("journal.db"));
    {
        JournalBatch outer(journal);
        appendSome(journal, 2);
        {
            JournalBatch inner(journal);
            appendSome(journal, 2);
        }
        // Another program sees nothing of an unfinished batch; the journal's own reads see it.
        EXPECT_EQ(other.value("SELECT count(*) FROM entries").toInt(), 0);
        EXPECT_EQ(journal.count({}).rows, 4);
    }
    EXPECT_EQ(other.value("SELECT count(*) FROM entries").toInt(), 4);
    EXPECT_EQ(journal.lostRecords(), 0);
}

// The write-ahead log is copied into the file by a thread of the journal's own: after a burst it
// empties without a record waiting for it, and the next record starts it over cut back small.
TEST_F(JournalTest, ABurstLeavesTheLogToBeCopiedAwayAndItStartsOverSmall) {
    Journal& journal = openJournal();
    const QString wal = folder.path("journal.db-wal");
    {
        JournalBatch burst(journal);
        for (int i = 0; i < 20000; ++i) {
            ASSERT_TRUE(journal.append(JournalKind::RelaySilent, relay3(),
                                       QStringLiteral("Защита не отвечает, запись %1 пачки, %2")
                                           .arg(i)
                                           .arg(QString(120, QChar(0x0416)))));
        }
    }
    ASSERT_GT(QFileInfo(wal).size(), 8 * 1024 * 1024);
    OtherConnection other(folder.path("journal.db"));
    // Each new record is a commit the copying thread notices; once the log is all copied, the
    // commit after starts it over from the beginning.
    EXPECT_TRUE(testing::waitUntil(
        [&] {
            appendSome(journal, 1);
            return QFileInfo(wal).size() <= 4 * 1024 * 1024;
        },
        std::chrono::seconds(20), std::chrono::milliseconds(100)));
    EXPECT_EQ(other.value("SELECT count(*) FROM entries").toInt(), journal.count({}).rows);
    EXPECT_EQ(journal.lostRecords(), 0);
}

TEST_F(JournalTest, RecordsPastTheirAgeAreRemovedWhenTheJournalOpens) {
    const auto at = [](const QDateTime& t) {
        return JournalEntry{0,
                            t.toMSecsSinceEpoch(),
                            JournalKind::StationStarted,
                            std::nullopt,
                            t.toString(Qt::ISODateWithMs),
                            {}};
    };
    Journal& journal = openJournal();
    for (const QDateTime& t :
         {kNow.addMonths(-61), kNow.addMonths(-60).addMSecs(-1), kNow.addMonths(-60),
          kNow.addMonths(-59), kNow.addMonths(-2), kNow}) {
        ASSERT_TRUE(journal.append(at(t)));
    }
    const auto times = [this]() {
        std::vector<qint64> out;
        for (const JournalEntry& e : readAll()) {
            out.push_back(e.timeMs);
        }
        return out;
    };
    const auto ms = [](const QDateTime& t) { return t.toMSecsSinceEpoch(); };
    // Five years, to the millisecond.
    openJournal();
    EXPECT_EQ(times(), (std::vector<qint64>{ms(kNow), ms(kNow.addMonths(-2)),
                                            ms(kNow.addMonths(-59)), ms(kNow.addMonths(-60))}));
    // A computer whose clock is twenty years ahead does not take the journal for old.
    clock.time = kNow.addYears(20);
    openJournal();
    EXPECT_EQ(times().size(), 4u);
    // The age is the caller's to choose; none keeps everything.
    clock.time = kNow;
    openJournal(keeping(0));
    EXPECT_EQ(times().size(), 4u);
    openJournal(keeping(1));
    EXPECT_EQ(times(), std::vector<qint64>{ms(kNow)});
    EXPECT_TRUE(sink.messages.isEmpty());
}

// The alarms standing at a stop come back at the next start from their newest records, however
// old: trimming the journal keeps the newest record of every alarm.
TEST_F(JournalTest, StandingAlarmsAreTheNewestRecordOfEachAndOutliveTheTrim) {
    const auto record = [](qint64 timeMs, AlarmKind kind, uint16_t address, AlarmState state,
                           std::optional<qint64> shelvedUntil = std::nullopt) {
        Alarm a;
        a.kind = kind;
        a.address = address;
        a.state = state;
        a.raisedAtMs = timeMs;
        a.shelvedUntilMs = shelvedUntil;
        a.text = alarmKindText(kind);
        return JournalEntry{0,
                            timeMs,
                            JournalKind::AlarmChanged,
                            std::nullopt,
                            a.text,
                            AlarmDetails{a, AlarmChange::Raised, {}}};
    };
    const qint64 old = kNow.addMonths(-14).toMSecsSinceEpoch();
    const qint64 now = kNow.toMSecsSinceEpoch();
    Journal& journal = openJournal();
    using S = AlarmState;
    for (const JournalEntry& e : {
             // A protection event unacknowledged for over a year, after an older normal record.
             record(old - 1000, AlarmKind::ProtectionEvent, 3, S::Normal),
             record(old, AlarmKind::ProtectionEvent, 3, S::ActiveUnacknowledged),
             // Raised and back to normal: not standing.
             record(old, AlarmKind::TripRelay, 3, S::ActiveUnacknowledged),
             record(now - 5000, AlarmKind::TripRelay, 3, S::Normal),
             // Normal but on a shelf: the shelf stands.
             record(now - 4000, AlarmKind::SignalRelay, 7, S::Normal, now + 3'600'000),
             record(now - 3000, AlarmKind::LinkLost, 0, S::ReturnedUnacknowledged),
             record(now - 2000, AlarmKind::NoAnswer, 3, S::ActiveAcknowledged),
         }) {
        ASSERT_TRUE(journal.append(e));
    }
    appendSome(journal, 3);
    const auto ids = [](const std::vector<Alarm>& alarms) {
        QStringList out;
        for (const Alarm& a : alarms) {
            out << alarmId(a) + QLatin1Char(':') + alarmStateName(a.state);
        }
        out.sort();
        return out.join(QLatin1Char(' ')).toStdString();
    };
    const std::string expected =
        "link_lost:returned_unacknowledged no_answer_3:active_acknowledged "
        "protection_event_3:active_unacknowledged signal_relay_7:normal";
    EXPECT_EQ(ids(journal.standingAlarms()), expected);
    // A year's journal: the old records go, the newest of each alarm stays.
    Journal& trimmed = openJournal(keeping(12));
    EXPECT_EQ(ids(trimmed.standingAlarms()), expected);
    EXPECT_EQ(readAll(withKinds({JournalKind::AlarmChanged})).size(), 5u);
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.texts().join('\n').toStdString();
}

TEST_F(JournalTest, FiltersFindRelaysKindsDatesAndTextInAnyCase) {
    const JournalRelay one{1, 5, QStringLiteral("Генератор-1"), QStringLiteral("Выключатель Q1")};
    const JournalRelay two{2, 6, QStringLiteral("ГЕНЕРАТОР ЁЛКА"), QStringLiteral("QF-2")};
    const qint64 t0 = kNow.toMSecsSinceEpoch();
    Journal& journal = openJournal();
    const std::vector<JournalEntry> entries{
        {0, t0, JournalKind::ProtectionEvent, one, QStringLiteral("Реле ОТКЛЮЧЕНИЯ"),
         ProtectionEventDetails{}},
        {0, t0 + 1000, JournalKind::RelaySilent, two, QStringLiteral("Нет ответа"), {}},
        {0, t0 + 2000, JournalKind::LinkLost, std::nullopt, QStringLiteral("Загрузка 100%"),
         LinkDetails{}},
        {0, t0 + 2000, JournalKind::ProtectionEvent, two, QStringLiteral("Обрыв цепи"),
         ProtectionEventDetails{}},
        {0, t0 + 3000, JournalKind::DeviceChanged, one, QStringLiteral("Изменён объект"),
         DeviceChangeDetails{DeviceNames{5, QStringLiteral("Турбина"), QStringLiteral("Q1")},
                             DeviceNames{5, one.generator, one.breaker}}},
    };
    for (const JournalEntry& e : entries) {
        ASSERT_TRUE(journal.append(e));
    }
    const auto texts = [this](const JournalFilter& filter) {
        QStringList out;
        for (const JournalEntry& e : readAll(filter, 2)) {
            out << e.text;
        }
        EXPECT_EQ(journal_->count(filter).rows, out.size());
        return out;
    };
    EXPECT_EQ(texts({}), (QStringList{"Изменён объект", "Обрыв цепи", "Загрузка 100%", "Нет ответа",
                                      "Реле ОТКЛЮЧЕНИЯ"}));
    EXPECT_EQ(texts(withRelay(2)), (QStringList{"Обрыв цепи", "Нет ответа"}));
    EXPECT_EQ(texts(withKinds(JournalKinds::ofGroup(JournalGroup::Protection))),
              (QStringList{"Обрыв цепи", "Реле ОТКЛЮЧЕНИЯ"}));
    EXPECT_EQ(texts(withRelay(1, withKinds({JournalKind::RelaySilent}))), QStringList());
    EXPECT_EQ(texts(withKinds(JournalKinds())), QStringList());
    // From is in, to is out.
    EXPECT_EQ(texts(between(t0 + 1000, t0 + 3000)),
              (QStringList{"Обрыв цепи", "Загрузка 100%", "Нет ответа"}));
    // Cyrillic in any case, "ё" as "е", names as well as the text.
    EXPECT_EQ(texts(withText(QStringLiteral("генератор"))),
              (QStringList{"Изменён объект", "Обрыв цепи", "Нет ответа", "Реле ОТКЛЮЧЕНИЯ"}));
    EXPECT_EQ(texts(withText(QStringLiteral(" елка "))), (QStringList{"Обрыв цепи", "Нет ответа"}));
    EXPECT_EQ(texts(withText(QStringLiteral("Ёлка"))), (QStringList{"Обрыв цепи", "Нет ответа"}));
    EXPECT_EQ(texts(withText(QStringLiteral("реле отключения"))), QStringList{"Реле ОТКЛЮЧЕНИЯ"});
    EXPECT_EQ(texts(withText(QStringLiteral("qf-2"))), (QStringList{"Обрыв цепи", "Нет ответа"}));
    // The name a relay had before an edit finds the edit.
    EXPECT_EQ(texts(withText(QStringLiteral("ТУРБИНА"))), QStringList{"Изменён объект"});
    // Nothing the operator types is a wildcard.
    EXPECT_EQ(texts(withText(QStringLiteral("%"))), QStringList{"Загрузка 100%"});
    EXPECT_EQ(texts(withText(QStringLiteral("_"))), QStringList());
    EXPECT_EQ(texts(withRelay(1, withText(QStringLiteral("q1")))),
              (QStringList{"Изменён объект", "Реле ОТКЛЮЧЕНИЯ"}));
}

// Whatever the filter and the page size, the pages together are exactly the filter's records,
// newest first, each once. A failing run prints its seed; TERVAL_JOURNAL_SEED=<seed> replays it.
TEST_F(JournalTest, PagesOfAnyFilterGiveExactlyItsRecordsNewestFirst) {
    uint32_t seed = std::random_device{}();
    if (const char* replay = std::getenv("TERVAL_JOURNAL_SEED")) {
        seed = static_cast<uint32_t>(std::strtoul(replay, nullptr, 10));
    }
    SCOPED_TRACE(::testing::Message() << "replay with TERVAL_JOURNAL_SEED=" << seed);
    std::mt19937 rng(seed);
    const auto pick = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const QStringList names{"Генератор", "генератор-2", "ТУРБИНА", "Turbine", "Q1", "qf", "Г;1"};
    const QStringList needles{"ген", "ГЕН", "турб", "TURB", "q", "1", ";", "нет", "-2"};
    const qint64 t0 = kNow.toMSecsSinceEpoch();
    const std::vector<JournalEntry> kinds = oneOfEveryKind(0);

    Journal& journal = openJournal();
    std::vector<JournalEntry> stored;
    {
        JournalBatch batch(journal);
        for (int i = 0; i < 400; ++i) {
            JournalEntry e = kinds[static_cast<size_t>(pick(static_cast<int>(kinds.size())))];
            // Few distinct times, so that many records share a millisecond.
            e.timeMs = t0 + 1000 * pick(40);
            e.text = pick(2) ? QStringLiteral("Нет ответа %1").arg(i) : names[pick(names.size())];
            if (e.relay) {
                e.relay = JournalRelay{1 + pick(4), static_cast<uint16_t>(pick(247)),
                                       names[pick(names.size())], names[pick(names.size())]};
            }
            ASSERT_TRUE(journal.append(e));
            stored.push_back(e);
        }
    }
    // The order the journal promises: newest first, and of one moment the last written first.
    std::vector<size_t> order(stored.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&stored](size_t a, size_t b) {
        return stored[a].timeMs != stored[b].timeMs ? stored[a].timeMs > stored[b].timeMs : a > b;
    });

    for (int round = 0; round < 40; ++round) {
        JournalFilter filter;
        if (pick(2)) {
            filter.relay = 1 + pick(4);
        }
        if (pick(2)) {
            JournalKinds set;
            for (int n = pick(4); n >= 0; --n) {
                set.add(static_cast<JournalKind>(1 + pick(kLastJournalKind)));
            }
            filter.kinds = set;
        }
        if (pick(2)) {
            filter.from = QDateTime::fromMSecsSinceEpoch(t0 + 1000 * pick(40));
        }
        if (pick(2)) {
            filter.to = QDateTime::fromMSecsSinceEpoch(t0 + 1000 * pick(40));
        }
        if (pick(2)) {
            filter.text = needles[pick(needles.size())];
        }
        const auto matches = [&filter](const JournalEntry& e) {
            QStringList haystack{e.text};
            if (e.relay) {
                haystack << e.relay->generator << e.relay->breaker;
            }
            if (const auto* change = std::get_if<DeviceChangeDetails>(&e.details)) {
                for (const auto& n : {change->before, change->after}) {
                    if (n) {
                        haystack << n->generator << n->breaker;
                    }
                }
            }
            return (!filter.relay || (e.relay && e.relay->number == *filter.relay)) &&
                   (!filter.kinds || filter.kinds->contains(e.kind)) &&
                   (!filter.from.isValid() || e.timeMs >= filter.from.toMSecsSinceEpoch()) &&
                   (!filter.to.isValid() || e.timeMs < filter.to.toMSecsSinceEpoch()) &&
                   (filter.text.isEmpty() ||
                    std::any_of(haystack.begin(), haystack.end(), [&filter](const QString& s) {
                        return s.contains(filter.text, Qt::CaseInsensitive);
                    }));
        };
        std::vector<JournalEntry> expected;
        for (size_t i : order) {
            if (matches(stored[i])) {
                expected.push_back(stored[i]);
            }
        }
        const std::vector<JournalEntry> paged = readAll(filter, 1 + pick(30));
        ASSERT_EQ(paged.size(), expected.size()) << "round " << round;
        for (size_t i = 0; i < paged.size(); ++i) {
            JournalEntry e = expected[i];
            e.id = paged[i].id;
            ASSERT_EQ(paged[i], e) << "round " << round << ", record " << i;
            if (i > 0) {
                ASSERT_TRUE(
                    paged[i].timeMs < paged[i - 1].timeMs ||
                    (paged[i].timeMs == paged[i - 1].timeMs && paged[i].id < paged[i - 1].id));
            }
        }
        ASSERT_EQ(journal.count(filter).rows, static_cast<qint64>(expected.size()));
    }
}

TEST_F(JournalTest, ExportIsWhatARussianSpreadsheetOpensByteForByte) {
    const QTimeZone moscow(3 * 3600);
    const auto at = [&moscow](int h, int m, int s) {
        return QDateTime(QDate(2024, 3, 5), QTime(h, m, s), moscow).toMSecsSinceEpoch();
    };
    Journal& journal = openJournal();
    ASSERT_TRUE(journal.append({0,
                                at(9, 0, 0),
                                JournalKind::StationStarted,
                                std::nullopt,
                                QStringLiteral("Станция запущена"),
                                {}}));
    ASSERT_TRUE(
        journal.append({0, at(9, 15, 7), JournalKind::ProtectionEvent,
                        JournalRelay{3, 17, QStringLiteral("Г-3 \"Юг\""), QStringLiteral("В;3")},
                        QStringLiteral("05.03.2024 09:15:01  : Г-3 \"Юг\",Реле ОТКЛЮЧЕНИЯ"),
                        ProtectionEventDetails{}}));
    ASSERT_TRUE(journal.append({0, at(23, 59, 59), JournalKind::LinkLost, std::nullopt,
                                QStringLiteral("Связь потеряна:\nпорт пропал"), LinkDetails{}}));
    ASSERT_TRUE(journal.append({0, at(10, 0, 0), JournalKind::RelayWrite,
                                JournalRelay{1, 1, QStringLiteral("Г1"), QStringLiteral("В1")},
                                QStringLiteral("Уставка записана"), WriteDetails{}}));

    const QString path = folder.path("Журнал.csv");
    EXPECT_FALSE(exportJournalCsv(journal, {}, path, moscow));
    const QByteArray expected =
        QByteArray("\xEF\xBB\xBF") +
        QStringLiteral(
            "Дата и время;Вид;Защита;Адрес;Генератор;Выключатель;Событие\r\n"
            "05.03.2024 23:59:59;Связь;;;;;\"Связь потеряна:\nпорт пропал\"\r\n"
            "05.03.2024 10:00:00;Запись в защиту;1;1;Г1;В1;Уставка записана\r\n"
            "05.03.2024 09:15:07;Срабатывание защиты;3;17;\"Г-3 \"\"Юг\"\"\";\"В;3\";\"05.03.2024 "
            "09:15:01  : Г-3 \"\"Юг\"\",Реле ОТКЛЮЧЕНИЯ\"\r\n"
            "05.03.2024 09:00:00;Станция;;;;;Станция запущена\r\n")
            .toUtf8();
    EXPECT_EQ(folder.read("Журнал.csv"), expected);

    // A filter exports its own records only.
    EXPECT_FALSE(exportJournalCsv(journal, withRelay(3), path, moscow));
    EXPECT_EQ(folder.read("Журнал.csv").count("\r\n"), 2);

    // A disk that fills up during the export leaves the earlier file as it was, and nothing else.
    class FullDisk final : public FileSteps {
      public:
        long write(int, const char*, size_t) override {
            errno = ENOSPC;
            return -1;
        }
    } full;
    const QByteArray before = folder.read("Журнал.csv");
    const FileError error = exportJournalCsv(journal, {}, path, moscow, full);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(
        error->startsWith(QStringLiteral("Не удалось записать файл Журнал.csv: на диске "
                                         "нет места.")))
        << error->toStdString();
    EXPECT_EQ(folder.read("Журнал.csv"), before);
    EXPECT_EQ(files(),
              (QStringList{"journal.db", "journal.db-shm", "journal.db-wal", "Журнал.csv"}));
}

}  // namespace
}  // namespace terval
