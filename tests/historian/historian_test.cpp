#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtEndian>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "historian/historian.h"
#include "historian/historian_spool.h"
#include "historian/plant_message_parse.h"
#include "historian_fixture.h"
#include "support/postgres_cluster.h"
#include "support/wait_until.h"

using namespace std::chrono_literals;
using terval::Historian;
using terval::HistorianSettings;
using terval::PlantMessage;
using terval::testing::PostgresCluster;

namespace {

const QString kPrefix = QStringLiteral("plant/hall");

HistorianSettings settingsFor(const PostgresCluster& db, const QString& spool) {
    return terval::testing::historianSettingsFor(db, spool, kPrefix);
}

PlantMessage message(const QString& station, const QString& rest, const QByteArray& payload,
                     const QDateTime& at, bool retained = false) {
    PlantMessage m;
    m.topic = (kPrefix + QLatin1Char('/') + station + QLatin1Char('/') + rest).toUtf8();
    m.payload = payload;
    m.retained = retained;
    m.receivedAt = at;
    return m;
}

QByteArray json(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString iso(const QDateTime& t) {
    return t.toUTC().toString(Qt::ISODate);
}

QByteArray statePayload(int address, int tile, int insulation, const QDateTime& lastAnswer) {
    return json({{"relay", tile},
                 {"address", address},
                 {"serial", 2400 + address},
                 {"generator", QStringLiteral("Ген. %1").arg(tile)},
                 {"breaker", QStringLiteral("Выкл %1").arg(tile)},
                 {"state", "normal"},
                 {"insulation_kohm", insulation},
                 {"control_kohm", 100},
                 {"signal_kohm", 500},
                 {"trip_kohm", 200},
                 {"last_answer", iso(lastAnswer)},
                 {"good_answers", 10},
                 {"bad_answers", 0}});
}

QByteArray eventPayload(int address, qint64 record, std::optional<qint64> previous,
                        const QDateTime& detectedAt, bool replayed) {
    QJsonObject o{
        {"relay", address},
        {"address", address},
        {"serial", 2400 + address},
        {"generator", "Ген. 1"},
        {"breaker", "Выкл 1"},
        {"alarm_line", "Реле ОТКЛЮЧЕНИЯ"},
        {"event_time", detectedAt.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))},
        {"sign_code", 4},
        {"sign_text", "Реле ОТКЛЮЧЕНИЯ"},
        {"detected_at", iso(detectedAt)},
        {"record", record},
        {"previous", previous ? QJsonValue(*previous) : QJsonValue(QJsonValue::Null)},
        {"replayed", replayed}};
    return json(o);
}

// Ticks until nothing waits in memory or on disk and the database takes writes.
bool drain(Historian& h) {
    return terval::testing::waitUntil(
        [&] {
            h.tick();
            const auto s = h.stats();
            return s.databaseUp && s.waiting == 0 && s.spoolBytes == 0;
        },
        60s, 50ms);
}

QString sql(PostgresCluster& db, const QString& text) {
    const auto out = db.psql(text);
    EXPECT_TRUE(out.has_value()) << text.toStdString() << ": " << db.errors().toStdString();
    return out.value_or(QString());
}

}  // namespace

// What each of the stations' topics means, and what is refused: the database sees only these.
TEST(PlantMessageParse, TopicsAndPayloads) {
    const QDateTime at = QDateTime::fromString("2026-12-07T19:08:05+03:00", Qt::ISODate);
    using Kind = terval::ParsedMessage::Kind;
    struct Case {
        const char* topic;
        QByteArray payload;
        Kind kind;
        const char* station;
    };
    const Case cases[] = {
        {"plant/hall/g1/status", "online", Kind::Status, "g1"},
        {"plant/hall/g1/status", "", Kind::Nothing, "g1"},
        {"plant/hall/g1/status", "maybe", Kind::Ignored, "g1"},
        {"plant/hall/g1/link", R"({"type":"tcp","link":"L","state":"open","status_text":"T"})",
         Kind::Link, "g1"},
        {"plant/hall/g1/relay/7/state", statePayload(7, 2, 1213, at), Kind::RelayState, "g1"},
        {"plant/hall/g1/relay/7/state", "", Kind::RelayRemoved, "g1"},
        {"plant/hall/g1/relay/07/state", statePayload(7, 2, 1213, at), Kind::Ignored, "g1"},
        {"plant/hall/g1/relay/256/state", statePayload(7, 2, 1213, at), Kind::Ignored, "g1"},
        {"plant/hall/g1/relay/7/state", "{broken", Kind::Ignored, "g1"},
        {"plant/hall/g1/relay/7/event", eventPayload(7, 12, 9, at, true), Kind::Event, "g1"},
        {"plant/hall/g1/alarm/trip_relay_7",
         R"({"id":"trip_relay_7","kind":"trip_relay","priority":"high","state":"normal","changed_at":"2026-12-07T19:09:02+03:00","address":7,"record":40})",
         Kind::Alarm, "g1"},
        {"plant/hall/g1/alarm/trip_relay_7", R"({"kind":"trip_relay"})", Kind::Ignored, "g1"},
        {"plant/hall/g1/alarm/trip_relay_7", "", Kind::Nothing, "g1"},
        {"plant/hall/g1/events_dropped", R"({"dropped_events":212})", Kind::EventsDropped, "g1"},
        {"plant/hall/g1/something", "{}", Kind::Ignored, "g1"},
        {"plant/hall/g1", "online", Kind::Ignored, ""},
        {"plant/other/g1/status", "online", Kind::Ignored, ""},
    };
    for (const Case& c : cases) {
        PlantMessage m;
        m.topic = c.topic;
        m.payload = c.payload;
        m.receivedAt = at;
        const auto parsed = terval::parsePlantMessage(m, kPrefix);
        EXPECT_EQ(int(parsed.kind), int(c.kind)) << c.topic << " " << c.payload.toStdString();
        EXPECT_EQ(parsed.station, QString::fromLatin1(c.station)) << c.topic;
    }
    PlantMessage event;
    event.topic = "plant/hall/g1/relay/7/event";
    event.payload = eventPayload(7, 12, 9, at, true);
    const auto e = terval::parsePlantMessage(event, kPrefix);
    EXPECT_EQ(e.address, 7);
    EXPECT_EQ(e.record, 12);
    EXPECT_EQ(e.previous, 9);
    EXPECT_TRUE(e.replayed);
    EXPECT_EQ(e.detectedAt.toMSecsSinceEpoch(), at.toMSecsSinceEpoch());
    EXPECT_EQ(e.eventTime, QStringLiteral("2026-12-07T16:08:05"));
    // An older station's event: no numbers, still an event.
    event.payload = R"({"address":7,"detected_at":"2026-12-07T19:08:33+03:00","sign_code":4})";
    const auto old = terval::parsePlantMessage(event, kPrefix);
    EXPECT_EQ(int(old.kind), int(Kind::Event));
    EXPECT_FALSE(old.record.has_value());
    EXPECT_FALSE(terval::parsePlantTime("2026-12-07T19:08:33").isValid());  // no zone
    EXPECT_FALSE(terval::parsePlantTime("2026-13-07T19:08:33Z").isValid());
}

// What a previous run left on disk is written first when the database answers, and a record torn
// by a crash at the end of a spool file is cut off with a log line, never read as a message.
TEST(Historian, TornSpoolIsCutAndTheRestWrittenFirst) {
    PostgresCluster db;
    QTemporaryDir spool;
    QStringList lines;
    const auto log = [&](const QString& l) { lines << l; };
    const QDateTime t0 = QDateTime::fromString("2026-11-03T10:00:00Z", Qt::ISODate);
    {
        // The cluster is not started: the connection is refused and all goes to the spool.
        Historian h(settingsFor(db, spool.path()), log);
        ASSERT_TRUE(h.start(nullptr));
        for (int i = 0; i < 50; ++i) {
            h.received(message("g1", "relay/3/state", statePayload(3, 1, 1000 + i, t0.addSecs(i)),
                               t0.addSecs(i)));
        }
        h.tick();
        EXPECT_FALSE(h.stats().databaseUp);
        EXPECT_GT(h.stats().spoolBytes, 0);
        h.stop(0);
    }
    const QStringList files =
        QDir(spool.path()).entryList({"spool-*.bin"}, QDir::Files, QDir::Name);
    ASSERT_FALSE(files.isEmpty());
    {
        QFile f(QDir(spool.path()).filePath(files.last()));
        ASSERT_TRUE(f.open(QIODevice::Append));
        // A header promising more than follows: the crash came in the middle of the write.
        QByteArray torn(8, '\0');
        qToBigEndian<quint32>(4000, torn.data());
        torn += "{\"half";
        f.write(torn);
    }
    ASSERT_TRUE(db.start()) << db.errors().toStdString();
    Historian h(settingsFor(db, spool.path()), log);
    ASSERT_TRUE(h.start(nullptr));
    // A message that comes now goes behind the 50 that waited.
    h.received(
        message("g1", "relay/3/state", statePayload(3, 1, 7777, t0.addSecs(100)), t0.addSecs(100)));
    ASSERT_TRUE(drain(h)) << lines.join('\n').toStdString();
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.samples"), "51");
    EXPECT_EQ(sql(db, "SELECT insulation_kohm FROM terval.relays"), "7777");
    EXPECT_TRUE(lines.join('\n').contains("неполная или испорченная запись"))
        << lines.join('\n').toStdString();
    EXPECT_TRUE(QDir(spool.path()).entryList({"spool-*"}, QDir::Files).isEmpty());
}

// An empty database gets the schema and its version; a database of a newer version than this
// program knows is refused with a log line, and what comes meanwhile waits on disk.
TEST(Historian, MigratesFromNothingAndRefusesANewerSchema) {
    PostgresCluster db;
    ASSERT_TRUE(db.start()) << db.errors().toStdString();
    QTemporaryDir spool;
    QStringList lines;
    {
        Historian h(settingsFor(db, spool.path()), [&](const QString& l) { lines << l; });
        ASSERT_TRUE(h.start(nullptr));
        EXPECT_TRUE(h.stats().databaseUp) << lines.join('\n').toStdString();
        h.stop();
    }
    EXPECT_EQ(sql(db, "SELECT version FROM terval.schema_version"), "1");
    EXPECT_EQ(
        sql(db,
            "SELECT count(*) FROM pg_partitioned_table p JOIN pg_class c ON c.oid = "
            "p.partrelid JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'terval'"),
        "5");
    {
        // Started again: nothing to migrate.
        Historian h(settingsFor(db, spool.path()), [&](const QString& l) { lines << l; });
        ASSERT_TRUE(h.start(nullptr));
        EXPECT_TRUE(h.stats().databaseUp);
    }
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.schema_version"), "1");

    sql(db, "INSERT INTO terval.schema_version (version) VALUES (2)");
    lines.clear();
    Historian h(settingsFor(db, spool.path()), [&](const QString& l) { lines << l; });
    ASSERT_TRUE(h.start(nullptr));
    EXPECT_FALSE(h.stats().databaseUp);
    EXPECT_TRUE(lines.join('\n').contains("версия схемы 2 новее"))
        << lines.join('\n').toStdString();
    h.received(message("g1", "status", "online", QDateTime::currentDateTimeUtc()));
    EXPECT_GT(h.stats().spoolBytes, 0);
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.stations"), "0");
}

// Retention drops whole month partitions older than the months kept, never the current ones.
TEST(Historian, RetentionDropsOldPartitions) {
    PostgresCluster db;
    ASSERT_TRUE(db.start()) << db.errors().toStdString();
    QTemporaryDir spool;
    QStringList lines;
    const auto log = [&](const QString& l) { lines << l; };
    const QDateTime old = QDateTime::fromString("2024-03-10T10:00:00Z", Qt::ISODate);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime lastMonth = now.addMonths(-1);
    {
        Historian h(settingsFor(db, spool.path()), log);
        ASSERT_TRUE(h.start(nullptr));
        h.received(message("g1", "relay/3/state", statePayload(3, 1, 500, old), old));
        h.received(message("g1", "relay/3/state", statePayload(3, 1, 600, lastMonth), lastMonth));
        h.received(message("g1", "relay/3/state", statePayload(3, 1, 700, now), now));
        ASSERT_TRUE(drain(h));
        h.stop();
    }
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.samples"), "3");
    auto settings = settingsFor(db, spool.path());
    settings.retentionMonths = 1;
    Historian h(settings, log);
    ASSERT_TRUE(h.start(nullptr));
    h.tick();
    EXPECT_EQ(
        sql(db, "SELECT string_agg(insulation_kohm::text, ',' ORDER BY at) FROM terval.samples"),
        "600,700");
    EXPECT_EQ(sql(db, "SELECT count(*) FROM pg_class WHERE relname LIKE '%_y2024m03'"), "0");
    EXPECT_EQ(sql(db, QStringLiteral("SELECT count(*) FROM pg_class WHERE relname = 'samples%1'")
                          .arg(lastMonth.toString("_'y'yyyy'm'MM"))),
              "1");
    EXPECT_TRUE(lines.join('\n').contains("удалена секция terval.samples_y2024m03"))
        << lines.join('\n').toStdString();
}

// The roles of the package's script: the historian's writes its schema, the reader reads every
// table, partitions made later included, and can change nothing.
TEST(Historian, RolesScriptGivesAWriterAndAReadOnlyReader) {
    PostgresCluster db;
    ASSERT_TRUE(db.start()) << db.errors().toStdString();
    QFile script(QStringLiteral(TERVAL_SOURCE_DIR "/packaging/terval-plant/roles.sql"));
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    const QString roles = QString::fromUtf8(script.readAll());
    sql(db, roles);
    sql(db, roles);  // again: nothing changes, nothing fails
    sql(db,
        "ALTER ROLE terval_plant PASSWORD 'plant-Pa55'; ALTER ROLE terval_reader PASSWORD "
        "'reader-Pa55'");
    QTemporaryDir spool;
    auto settings = settingsFor(db, spool.path());
    settings.database.user = QStringLiteral("terval_plant");
    settings.database.passwordFile.clear();
    settings.database.password = "plant-Pa55";
    QStringList lines;
    Historian h(settings, [&](const QString& l) { lines << l; });
    ASSERT_TRUE(h.start(nullptr));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    h.received(message("g1", "relay/3/state", statePayload(3, 1, 500, now), now));
    ASSERT_TRUE(drain(h)) << lines.join('\n').toStdString();

    QSqlDatabase reader = QSqlDatabase::addDatabase("QPSQL", "reader");
    reader.setHostName(db.host());
    reader.setPort(db.port());
    reader.setDatabaseName(db.database());
    reader.setUserName("terval_reader");
    reader.setPassword("reader-Pa55");
    ASSERT_TRUE(reader.open()) << reader.lastError().text().toStdString();
    {
        QSqlQuery q(reader);
        ASSERT_TRUE(q.exec("SELECT insulation_kohm FROM terval.samples") && q.next())
            << q.lastError().text().toStdString();
        EXPECT_EQ(q.value(0).toInt(), 500);
        const QString partition = "terval.samples" + now.toString("_'y'yyyy'm'MM");
        EXPECT_TRUE(q.exec("SELECT count(*) FROM " + partition))
            << q.lastError().text().toStdString();
        EXPECT_FALSE(
            q.exec("INSERT INTO terval.stations (prefix, name, first_seen, last_seen) "
                   "VALUES ('x', 'y', now(), now())"));
        EXPECT_TRUE(q.lastError().text().contains("permission denied"))
            << q.lastError().text().toStdString();
        EXPECT_FALSE(q.exec("DELETE FROM terval.samples"));
        EXPECT_FALSE(q.exec("CREATE TABLE terval.mine (x int)"));
    }
    reader.close();
    reader = QSqlDatabase();
    QSqlDatabase::removeDatabase("reader");
    EXPECT_EQ(sql(db,
                  "SELECT tableowner FROM pg_tables WHERE schemaname = 'terval' AND tablename = "
                  "'samples'"),
              "terval_plant");
}

// Every station's retained states at once, as the broker gives them to a historian subscribing
// afresh: 100 stations of 32 relays. The figures are printed for the record; what is asserted is
// that every sample of both bursts is there once.
TEST(Historian, BurstOfEveryStationsRetainedStates) {
    PostgresCluster db;
    ASSERT_TRUE(db.start()) << db.errors().toStdString();
    QTemporaryDir spool;
    QStringList lines;
    Historian h(settingsFor(db, spool.path()), [&](const QString& l) { lines << l; });
    ASSERT_TRUE(h.start(nullptr));
    const QDateTime t0 = QDateTime::currentDateTimeUtc().addSecs(-3600);
    const int stations = 100, relays = 32;
    for (int burst = 0; burst < 2; ++burst) {
        // The first burst meets every relay for the first time; the second finds them known.
        QElapsedTimer timer;
        timer.start();
        for (int s = 0; s < stations; ++s) {
            for (int r = 1; r <= relays; ++r) {
                const QDateTime at = t0.addSecs(burst * 60 + r);
                h.received(message(QStringLiteral("hall-%1").arg(s),
                                   QStringLiteral("relay/%1/state").arg(r),
                                   statePayload(r, r, 1000 + s + burst, at), at, true));
            }
        }
        ASSERT_TRUE(drain(h)) << lines.join('\n').toStdString();
        const double seconds = timer.nsecsElapsed() / 1e9;
        std::printf("burst %d (%s relays): %d states written in %.2f s, %.0f messages/s\n",
                    burst + 1, burst == 0 ? "new" : "known", stations * relays, seconds,
                    stations * relays / seconds);
        RecordProperty(burst == 0 ? "first_burst_seconds" : "second_burst_seconds",
                       QString::number(seconds, 'f', 2).toStdString());
    }
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.samples").toInt(), 2 * stations * relays);
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.relays").toInt(), stations * relays);
    EXPECT_EQ(sql(db, "SELECT count(DISTINCT insulation_kohm) FROM terval.relays").toInt(),
              stations);
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.relay_names").toInt(), stations * relays);
    const auto stats = h.stats();
    EXPECT_EQ(stats.received, uint64_t(2 * stations * relays));
    EXPECT_EQ(stats.stored, uint64_t(2 * stations * relays));
}

// A spool folder that cannot be used stops start() with the reason; a full spool drops what comes
// beyond its limit, counts it and says so, at most once a minute, and keeps what it holds.
TEST(Historian, SpoolFolderUnusableAndSpoolFull) {
    PostgresCluster db;  // never started: the database refuses every connection
    QTemporaryDir dir;
    QFile blocker(dir.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    {
        Historian h(settingsFor(db, dir.filePath("file/spool")), {});
        QString error;
        EXPECT_FALSE(h.start(&error));
        EXPECT_TRUE(error.contains("file/spool")) << error.toStdString();
    }
    QStringList lines;
    auto settings = settingsFor(db, dir.filePath("spool"));
    settings.spoolLimitBytes = 4000;
    Historian h(settings, [&](const QString& l) { lines << l; });
    ASSERT_TRUE(h.start(nullptr));
    {
        Historian second(settings, {});
        QString error;
        EXPECT_FALSE(second.start(&error));
        EXPECT_TRUE(error.contains("занял другой процесс")) << error.toStdString();
    }
    const QDateTime t0 = QDateTime::fromString("2026-11-03T10:00:00Z", Qt::ISODate);
    for (int i = 0; i < 100; ++i) {
        h.received(
            message("g1", "relay/3/state", statePayload(3, 1, i, t0.addSecs(i)), t0.addSecs(i)));
        h.tick();
    }
    const auto stats = h.stats();
    EXPECT_LE(stats.spoolBytes, 4000);
    EXPECT_GT(stats.spoolBytes, 3000);
    EXPECT_GT(stats.dropped, 50u);
    EXPECT_EQ(lines.filter("отбрасываются").size(), 1) << lines.join('\n').toStdString();
    // What was kept is the oldest, and all of it is written once the database is there.
    ASSERT_TRUE(db.start()) << db.errors().toStdString();
    ASSERT_TRUE(drain(h)) << lines.join('\n').toStdString();
    EXPECT_EQ(sql(db, "SELECT count(*) || ',' || max(insulation_kohm) FROM terval.samples"),
              QStringLiteral("%1,%2").arg(100 - stats.dropped).arg(99 - stats.dropped));
}

// A record number that comes again with another event is a station whose journal began anew, not
// a duplicate: the event is kept and said once; each of the two sent again is stored only once.
TEST(Historian, EventOfAJournalBegunAnewIsKept) {
    PostgresCluster db;
    ASSERT_TRUE(db.start()) << db.errors().toStdString();
    QTemporaryDir spool;
    QStringList lines;
    Historian h(settingsFor(db, spool.path()), [&](const QString& l) { lines << l; });
    ASSERT_TRUE(h.start(nullptr));
    const QDateTime t1 = QDateTime::fromString("2026-11-03T10:00:00Z", Qt::ISODate);
    const QDateTime t2 = t1.addDays(20);
    const QByteArray first = eventPayload(3, 5, 4, t1, false);
    const QByteArray again = eventPayload(3, 5, std::nullopt, t2, false);
    const QByteArray alarm1 =
        R"({"id":"trip_relay_3","address":3,"kind":"trip_relay","priority":"high","state":"normal","change":"returned","changed_at":"2026-11-03T10:00:00Z","record":9})";
    const QByteArray alarm2 =
        R"({"id":"trip_relay_3","address":3,"kind":"trip_relay","priority":"high","state":"normal","change":"returned","changed_at":"2026-11-23T10:00:00Z","record":9})";
    for (const QByteArray& p : {first, first, again, again, first}) {
        h.received(message("g1", "relay/3/event", p, t2));
    }
    for (const QByteArray& p : {alarm1, alarm1, alarm2, alarm2}) {
        h.received(message("g1", "alarm/trip_relay_3", p, t2));
    }
    ASSERT_TRUE(drain(h)) << lines.join('\n').toStdString();
    EXPECT_EQ(sql(db,
                  "SELECT string_agg(record || '@' || to_char(detected_at AT TIME ZONE 'UTC', "
                  "'MM-DD'), ',' "
                  "ORDER BY detected_at) FROM terval.events"),
              "5@11-03,5@11-23");
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.alarm_changes"), "2");
    EXPECT_EQ(h.stats().duplicates, 5u);  // three events, two alarms
    EXPECT_EQ(lines.filter("начат заново").size(), 1) << lines.join('\n').toStdString();
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.gaps"), "0");
}

// A message the database refuses (here a rule the database was given) costs only itself: the rest
// of its batch is written, and it is logged and counted.
TEST(Historian, OneMessageTheDatabaseRefusesCostsOnlyItself) {
    PostgresCluster db;
    ASSERT_TRUE(db.start()) << db.errors().toStdString();
    QTemporaryDir spool;
    QStringList lines;
    Historian h(settingsFor(db, spool.path()), [&](const QString& l) { lines << l; });
    ASSERT_TRUE(h.start(nullptr));
    sql(db, "ALTER TABLE terval.link_changes ADD CONSTRAINT no_bad CHECK (type <> 'bad')");
    const QDateTime t0 = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < 20; ++i) {
        const QByteArray type = i == 10 ? "bad" : (i % 2 ? "tcp" : "rs485");
        h.received(
            message("g1", "link",
                    R"({"type":")" + type + R"(","link":"L","state":"open","status_text":"T"})",
                    t0.addSecs(i)));
        h.received(message("g1", "relay/3/state", statePayload(3, 1, 100 + i, t0.addSecs(i)),
                           t0.addSecs(i)));
    }
    ASSERT_TRUE(drain(h)) << lines.join('\n').toStdString();
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.samples"), "20");
    // Twenty links, one refused; the one after it says what the last stored said: no change.
    EXPECT_EQ(sql(db, "SELECT count(*) FROM terval.link_changes"), "18");
    EXPECT_EQ(h.stats().ignored, 1u);
    EXPECT_EQ(lines.filter("plant/hall/g1/link не записано").size(), 1)
        << lines.join('\n').toStdString();
}
