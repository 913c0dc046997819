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
    HistorianSettings s;
    s.broker.prefix = kPrefix;
    s.database.host = db.host();
    s.database.port = db.port();
    s.database.user = db.user();
    s.database.name = db.database();
    s.database.passwordFile = db.passwordFile();
    s.database.connectTimeoutSeconds = 2;
    s.spoolFolder = spool;
    return s;
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
