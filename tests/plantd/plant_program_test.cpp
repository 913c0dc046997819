// terval-plant end to end: three stations without windows on three simulators publish to a real
// broker, the plant program writes into a real PostgreSQL, and whatever goes down in between, every
// protection event the stations found is in terval.events once, with its station's record number.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <set>

#include "plantd/plant_rig.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using testing::PlantRig;
using testing::ReceivedMessage;
using testing::waitUntil;

using StationRecord = std::pair<QString, long long>;

// (station, record) of every event the stations published, as the watcher saw them.
std::set<StationRecord> publishedEvents(const std::vector<ReceivedMessage>& all) {
    static const QRegularExpression topic(QStringLiteral("^terval/([^/]+)/relay/\\d+/event$"));
    std::set<StationRecord> out;
    for (const ReceivedMessage& m : all) {
        const QRegularExpressionMatch match = topic.match(QString::fromUtf8(m.topic));
        if (!match.hasMatch()) {
            continue;
        }
        const QJsonObject e = QJsonDocument::fromJson(m.payload).object();
        out.emplace(match.captured(1), e.value(QStringLiteral("record")).toInteger(-1));
    }
    return out;
}

// (station, record) of every event in the database, repeats included.
std::multiset<StationRecord> storedEvents(PlantRig& rig) {
    std::multiset<StationRecord> out;
    const QString rows = rig.sql(QStringLiteral(
        "SELECT s.name, e.record FROM terval.events e JOIN terval.stations s ON s.id = "
        "e.station_id"));
    for (const QString& row : rows.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        out.emplace(row.section(QLatin1Char('|'), 0, 0),
                    row.section(QLatin1Char('|'), 1, 1).toLongLong());
    }
    return out;
}

std::set<StationRecord> distinct(const std::multiset<StationRecord>& all) {
    return {all.begin(), all.end()};
}

// (station, record) of every protection event in the stations' journals.
std::set<StationRecord> journalEvents(PlantRig& rig) {
    std::set<StationRecord> out;
    for (const auto& station : rig.stations) {
        for (long long record : station->journalEvents()) {
            out.emplace(station->name(), record);
        }
    }
    return out;
}

// Protection events made in every station's simulator, `perStation` each, on relays 1 to 3 in
// turn, each waited for in the station's journal, so that they happen while whatever is down is
// down.
void makeEvents(PlantRig& rig, int perStation) {
    for (auto& station : rig.stations) {
        const size_t before = station->journalEvents().size();
        for (int k = 0; k < perStation; ++k) {
            const QString answer =
                station->sim().command(QStringLiteral("event %1 %2").arg(k % 3 + 1).arg(4 - k % 2));
            ASSERT_TRUE(answer.startsWith(QStringLiteral("ok"))) << answer.toStdString();
        }
        ASSERT_TRUE(waitUntil(
            [&] { return station->journalEvents().size() >= before + size_t(perStation); }, 30s,
            100ms))
            << station->name().toStdString() << ": " << station->log().toStdString();
    }
}

// Every protection event the stations' journals hold is in terval.events, once, with its record
// number, and no gap is left open.
void expectStoredOnce(PlantRig& rig, std::chrono::milliseconds timeout) {
    const auto matches = [&rig] {
        const std::set<StationRecord> expected = journalEvents(rig);
        return !expected.empty() && distinct(storedEvents(rig)) == expected;
    };
    ASSERT_TRUE(waitUntil(matches, timeout, 250ms)) << [&rig] {
        std::string s = "journals:";
        for (const auto& [station, record] : journalEvents(rig)) {
            s += " " + station.toStdString() + "#" + std::to_string(record);
        }
        s += "\nstored:";
        for (const auto& [station, record] : storedEvents(rig)) {
            s += " " + station.toStdString() + "#" + std::to_string(record);
        }
        return s + "\n" + rig.diagnostics();
    }();
    const std::multiset<StationRecord> stored = storedEvents(rig);
    EXPECT_EQ(stored.size(), distinct(stored).size()) << "an event stored twice";
    EXPECT_EQ(
        rig.number(QStringLiteral("SELECT count(*) FROM terval.gaps WHERE filled_at IS NULL")), 0)
        << rig.sql(QStringLiteral("SELECT * FROM terval.gaps")).toStdString();
}

TEST(PlantProgram, EveryEventOfEveryStationIsStoredOnceWithItsRecordNumber) {
    PlantRig rig;
    QString why;
    ASSERT_TRUE(rig.start(3, &why)) << why.toStdString() << rig.diagnostics();
    makeEvents(rig, 3);
    expectStoredOnce(rig, 30s);
    // The stations published each of them, numbered as their journals have them.
    const std::set<StationRecord> published = publishedEvents(rig.watcher.messages());
    for (const StationRecord& e : journalEvents(rig)) {
        EXPECT_TRUE(published.count(e)) << e.first.toStdString() << "#" << e.second;
    }

    // Relays by station and address, with what their state messages said; samples of insulation.
    EXPECT_EQ(rig.number(QStringLiteral("SELECT count(*) FROM terval.relays")), 9);
    EXPECT_EQ(rig.sql(QStringLiteral("SELECT DISTINCT serial - 2400 = address FROM terval.relays")),
              QStringLiteral("t"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return rig.number(QStringLiteral(
                       "SELECT count(DISTINCT relay_id) FROM terval.samples WHERE insulation_kohm "
                       "IS NOT NULL")) == 9;
        },
        30s, 250ms))
        << rig.diagnostics();

    // SIGTERM: stopped cleanly, with the exit code of success.
    EXPECT_EQ(rig.plant.stop(), 0) << rig.diagnostics();
}

TEST(PlantProgram, EventsMadeWhileItIsStoppedArriveOnceWhenItStartsAgain) {
    PlantRig rig;
    QString why;
    ASSERT_TRUE(rig.start(3, &why)) << why.toStdString() << rig.diagnostics();
    expectStoredOnce(rig, 30s);

    ASSERT_EQ(rig.plant.stop(), 0) << rig.diagnostics();
    const size_t before = storedEvents(rig).size();
    makeEvents(rig, 2);
    // Published while nobody wrote them: the broker holds them in the plant program's session.
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::set<StationRecord> published = publishedEvents(rig.watcher.messages());
            const std::set<StationRecord> made = journalEvents(rig);
            return std::includes(published.begin(), published.end(), made.begin(), made.end());
        },
        30s));
    EXPECT_EQ(storedEvents(rig).size(), before);

    ASSERT_TRUE(rig.plant.start(rig.broker, rig.db, &why)) << why.toStdString();
    expectStoredOnce(rig, 30s);
    EXPECT_EQ(rig.plant.stop(), 0) << rig.diagnostics();
}

TEST(PlantProgram, AStationRestartedWhileTheBrokerIsAwayReplaysItsEventsFromItsJournal) {
    PlantRig rig;
    QString why;
    ASSERT_TRUE(rig.start(3, &why)) << why.toStdString() << rig.diagnostics();
    expectStoredOnce(rig, 30s);

    rig.broker.stop();
    ASSERT_TRUE(waitUntil(
        [&] { return rig.plant.log().contains(QStringLiteral("нет связи с брокером")); }, 10s))
        << rig.diagnostics();
    // Every station finds events while the broker is away; st1 is restarted in the middle and
    // finds one more after its restart.
    makeEvents(rig, 2);
    testing::PlantStation& st1 = *rig.stations.front();
    ASSERT_EQ(st1.stop(), 0) << st1.log().toStdString();
    ASSERT_TRUE(st1.restart(rig.broker.port(), &why)) << why.toStdString();
    const size_t st1Before = st1.journalEvents().size();
    ASSERT_TRUE(st1.sim().command(QStringLiteral("event 2 4")).startsWith(QStringLiteral("ok")));
    ASSERT_TRUE(waitUntil([&] { return st1.journalEvents().size() > st1Before; }, 30s, 100ms))
        << st1.log().toStdString();

    ASSERT_TRUE(rig.broker.start()) << rig.broker.errors().toStdString();
    expectStoredOnce(rig, 75s);
    // The plant program subscribed again by itself.
    EXPECT_EQ(rig.plant.log().count(QStringLiteral("связь есть, подписка на terval/+/#")), 2)
        << rig.plant.log().toStdString();
    // What st1 found before its restart went out after it, from its journal.
    EXPECT_GE(rig.number(QStringLiteral(
                  "SELECT count(*) FROM terval.events e JOIN terval.stations s ON s.id = "
                  "e.station_id WHERE s.name = 'st1' AND e.replayed")),
              2)
        << rig.diagnostics();
}

TEST(PlantProgram, NothingIsLostWhilePostgresqlIsAwayAndItIsWrittenInOrderAfterwards) {
    PlantRig rig;
    QString why;
    ASSERT_TRUE(rig.start(3, &why)) << why.toStdString() << rig.diagnostics();
    expectStoredOnce(rig, 30s);

    rig.db.stop();
    makeEvents(rig, 3);
    // All of them reached the broker, and so the plant program, while the database was away.
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::set<StationRecord> published = publishedEvents(rig.watcher.messages());
            const std::set<StationRecord> made = journalEvents(rig);
            return std::includes(published.begin(), published.end(), made.begin(), made.end());
        },
        30s));
    // The plant program found the database gone, kept receiving, and put what it could not write
    // on disk.
    ASSERT_TRUE(waitUntil(
        [&] {
            return rig.plant.log().contains(QStringLiteral("недоступна")) &&
                   rig.plant.spoolBytes() > 0;
        },
        30s, 100ms))
        << rig.diagnostics();
    ASSERT_TRUE(rig.plant.running()) << rig.diagnostics();

    ASSERT_TRUE(rig.db.start()) << rig.db.errors().toStdString();
    expectStoredOnce(rig, 45s);
    // In the order the stations numbered them: a later record was never written in an earlier
    // transaction than an earlier one.
    EXPECT_EQ(rig.number(QStringLiteral(
                  "SELECT count(*) FROM terval.station_records a JOIN terval.station_records b "
                  "ON a.station_id = b.station_id AND a.record < b.record AND a.stored_at > "
                  "b.stored_at")),
              0)
        << rig.sql(QStringLiteral("SELECT * FROM terval.station_records ORDER BY stored_at"))
               .toStdString();
    EXPECT_EQ(rig.plant.stop(), 0) << rig.diagnostics();
}

// A station's event whose previous record never came: a broker that dropped what it had queued.
TEST(PlantProgram, AForgedGapInAStationsRecordNumbersIsReported) {
    PlantRig rig;
    QString why;
    ASSERT_TRUE(rig.start(0, &why)) << why.toStdString() << rig.diagnostics();
    const auto publish = [&rig](long long record, long long previous) {
        const QByteArray payload =
            QStringLiteral(
                "{\"address\":1,\"alarm_line\":\"08.12.2026 10:00:0%1  : Ген. 1,Реле "
                "ОТКЛЮЧЕНИЯ\",\"breaker\":\"Выкл "
                "1\",\"detected_at\":\"2026-12-08T10:00:0%1+03:00\","
                "\"event_time\":\"2026-12-08T10:00:0%1\",\"generator\":\"Ген. 1\",\"previous\":%2,"
                "\"record\":%1,\"relay\":1,\"replayed\":false,\"serial\":2401,\"sign_code\":4,"
                "\"sign_text\":\"Реле ОТКЛЮЧЕНИЯ\"}")
                .arg(record)
                .arg(previous)
                .toUtf8();
        return QProcess::execute(
                   QStringLiteral("mosquitto_pub"),
                   {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                    QString::number(rig.broker.port()), QStringLiteral("-q"), QStringLiteral("1"),
                    QStringLiteral("-t"), QStringLiteral("terval/forged/relay/1/event"),
                    QStringLiteral("-m"), QString::fromUtf8(payload)}) == 0;
    };
    ASSERT_TRUE(publish(1, 0));
    ASSERT_TRUE(waitUntil(
        [&] { return rig.number(QStringLiteral("SELECT count(*) FROM terval.events")) == 1; }, 20s,
        200ms))
        << rig.diagnostics();
    // Record 3 is said to have come before 4, and never came.
    ASSERT_TRUE(publish(4, 3));
    ASSERT_TRUE(waitUntil(
        [&] { return rig.number(QStringLiteral("SELECT count(*) FROM terval.gaps")) == 1; }, 20s,
        200ms))
        << rig.diagnostics();
    EXPECT_EQ(rig.sql(QStringLiteral(
                  "SELECT s.name, g.after_record, g.before_record, 3 = ANY (g.missing) FROM "
                  "terval.gaps g JOIN terval.stations s ON s.id = g.station_id")),
              QStringLiteral("forged|1|4|t"));
    EXPECT_EQ(rig.number(QStringLiteral("SELECT count(*) FROM terval.events")), 2);
    EXPECT_TRUE(waitUntil([&] { return rig.plant.log().contains(QStringLiteral("forged")); }, 5s))
        << rig.plant.log().toStdString();
}

}  // namespace
}  // namespace terval
