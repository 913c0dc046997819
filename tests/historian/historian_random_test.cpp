#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "historian/historian.h"
#include "historian_fixture.h"
#include "support/postgres_cluster.h"
#include "support/wait_until.h"

using namespace std::chrono_literals;
using terval::Historian;
using terval::HistorianSettings;
using terval::PlantMessage;
using terval::testing::PostgresCluster;

namespace {

const QString kPrefix = QStringLiteral("plant/site/hall");

HistorianSettings settingsFor(const PostgresCluster& db, const QString& spool) {
    return terval::testing::historianSettingsFor(db, spool, kPrefix);
}

QByteArray json(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString iso(const QDateTime& t) {
    // The stations write their local time with its offset; any offset must land on the same
    // instant.
    return t.toOffsetFromUtc(3 * 3600).toString(Qt::ISODate);
}

// Lists compared as one text each, so that a failure shows the rows rather than bytes.
std::string lines(const QString& text) {
    QStringList out = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    out.sort();
    return out.join(QLatin1Char('\n')).toStdString();
}

struct SimStation {
    QString name;
    qint64 record = 1000;  // the station's journal: other records come between events
    std::optional<qint64> lastEvent;
    bool anyEventSent = false;
    bool lastSkipped = false;
    struct Sent {
        qint64 record;
        std::optional<qint64> previous;
        int address;
        QDateTime at;
    };
    std::vector<Sent> sentEvents;         // what a replay sends again, as it was
    std::map<int, QDateTime> lastAnswer;  // by address
    std::map<int, int> lastInsulation;
    std::optional<bool> online;
    QByteArray link;
};

struct Skipped {
    QString station;
    qint64 record;
    std::optional<qint64> previous;
    QDateTime at;
    int address;
};

}  // namespace

// Several stations' states, events, alarms, links and statuses over three months, with duplicates,
// replays and skipped records, through database outages and a restart of the historian on the same
// spool folder: at the end the database holds exactly what was sent, once, in arrival order.
TEST(HistorianRandom, EverythingStoredOnceThroughOutages) {
    const unsigned seed = [] {
        if (const char* s = std::getenv("TERVAL_TEST_SEED")) {
            return unsigned(std::strtoul(s, nullptr, 10));
        }
        return std::random_device{}();
    }();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::printf("HistorianRandom seed %u\n", seed);
    std::mt19937 rng(seed);
    const auto chance = [&](double p) {
        return std::uniform_real_distribution<double>(0, 1)(rng) < p;
    };
    const auto pick = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };

    PostgresCluster db;
    ASSERT_TRUE(db.start()) << db.errors().toStdString();
    QTemporaryDir spool;
    QStringList log;
    const auto logTo = [&](const QString& l) { log << l; };
    auto historian = std::make_unique<Historian>(settingsFor(db, spool.path()), logTo);
    ASSERT_TRUE(historian->start(nullptr));

    std::vector<SimStation> stations(3);
    for (size_t i = 0; i < stations.size(); ++i) {
        stations[i].name = QStringLiteral("gen-%1").arg(i + 1);
    }
    // What the database must hold at the end.
    std::set<QString> events;  // "station:record"
    int unnumberedEvents = 0;
    std::set<QString> samples;  // "station:address:ms"
    std::vector<Skipped> skipped;
    int alarms = 0, links = 0, statuses = 0, brokerChanges = 0;
    std::vector<QString> arrival;  // numbered records, in the order they were first sent
    bool brokerUp = true;

    QDateTime now = QDateTime::fromString("2026-10-20T00:00:00Z", Qt::ISODate);
    const auto send = [&](SimStation& s, const QString& rest, const QByteArray& payload) {
        PlantMessage m;
        m.topic = (kPrefix + '/' + s.name + '/' + rest).toUtf8();
        m.payload = payload;
        m.receivedAt = now;
        historian->received(m);
    };
    const auto eventJson = [&](int address, qint64 record, std::optional<qint64> previous,
                               const QDateTime& at, bool replayed) {
        return json({{"relay", address - 9},
                     {"address", address},
                     {"serial", 3000 + address},
                     {"generator", "Ген. 1"},
                     {"breaker", "Выкл 1"},
                     {"alarm_line", "Реле ОТКЛЮЧЕНИЯ"},
                     {"event_time", at.toUTC().toString("yyyy-MM-ddTHH:mm:ss")},
                     {"sign_code", 4},
                     {"sign_text", "Реле ОТКЛЮЧЕНИЯ"},
                     {"detected_at", iso(at)},
                     {"record", record},
                     {"previous", previous ? QJsonValue(*previous) : QJsonValue()},
                     {"replayed", replayed}});
    };
    const auto sendEvent = [&](SimStation& s, bool mayBeSkipped) {
        s.record += pick(1, 3);
        const qint64 record = s.record;
        const std::optional<qint64> previous = s.lastEvent;
        s.lastEvent = record;
        const int address = pick(10, 13);
        if (mayBeSkipped && s.anyEventSent && !s.lastSkipped && skipped.size() < 4 &&
            chance(0.08)) {
            // The broker lost it: the station's next event shows the hole.
            skipped.push_back({s.name, record, previous, now, address});
            s.lastSkipped = true;
            return;
        }
        const QByteArray payload = eventJson(address, record, previous, now, false);
        send(s, QStringLiteral("relay/%1/event").arg(address), payload);
        if (chance(0.1)) {
            send(s, QStringLiteral("relay/%1/event").arg(address), payload);
        }
        s.anyEventSent = true;
        s.lastSkipped = false;
        s.sentEvents.push_back({record, previous, address, now});
        events.insert(s.name + ':' + QString::number(record));
        arrival.push_back(s.name + ':' + QString::number(record));
    };

    const int steps = 3000;
    std::set<int> outageStarts;
    while (outageStarts.size() < 3) {
        outageStarts.insert(pick(100, steps - 400));
    }
    const int restartAt = pick(200, steps - 200);
    int outageEnds = -1;
    bool spooled = false;  // what came during an outage waited on disk
    for (int step = 0; step < steps; ++step) {
        now = now.addSecs(60 * pick(1, 60));
        SimStation& s = stations[size_t(pick(0, int(stations.size()) - 1))];
        const int action = pick(0, 99);
        if (action < 45) {
            const int address = pick(10, 13);
            const bool again = s.lastAnswer.count(address) && chance(0.15);
            if (!again) {
                s.lastAnswer[address] = now;
                s.lastInsulation[address] = pick(50, 5000);
            }
            const QDateTime at = s.lastAnswer[address];
            send(s, QStringLiteral("relay/%1/state").arg(address),
                 json({{"relay", address - 9},
                       {"address", address},
                       {"serial", 3000 + address},
                       {"generator", QStringLiteral("Ген. %1").arg(address - 9)},
                       {"breaker", "Выкл"},
                       {"state", "normal"},
                       {"insulation_kohm", s.lastInsulation[address]},
                       {"control_kohm", 100},
                       {"signal_kohm", 500},
                       {"trip_kohm", 200},
                       {"last_answer", iso(at)},
                       {"good_answers", step},
                       {"bad_answers", 0}}));
            samples.insert(s.name + ':' + QString::number(address) + ':' +
                           QString::number(at.toMSecsSinceEpoch()));
        } else if (action < 62) {
            sendEvent(s, true);
        } else if (action < 67) {
            if (!s.sentEvents.empty()) {
                const auto& e = s.sentEvents[size_t(pick(0, int(s.sentEvents.size()) - 1))];
                send(s, QStringLiteral("relay/%1/event").arg(e.address),
                     eventJson(e.address, e.record, e.previous, e.at, true));
            }
        } else if (action < 75) {
            s.record += 1;
            const QByteArray payload =
                json({{"id", "trip_relay_10"},
                      {"address", 10},
                      {"relay", 1},
                      {"kind", "trip_relay"},
                      {"priority", "high"},
                      {"state", chance(0.5) ? "normal" : "active_unacknowledged"},
                      {"change", "raised"},
                      {"changed_at", iso(now)},
                      {"record", s.record}});
            send(s, "alarm/trip_relay_10", payload);
            if (chance(0.1)) {
                send(s, "alarm/trip_relay_10", payload);
            }
            alarms += 1;
            arrival.push_back(s.name + ':' + QString::number(s.record));
        } else if (action < 82) {
            const char* states[] = {"open", "waiting", "connecting"};
            const QByteArray payload = json({{"type", "tcp"},
                                             {"link", "L"},
                                             {"state", states[pick(0, 2)]},
                                             {"status_text", "T"}});
            send(s, "link", payload);
            links += payload != s.link ? 1 : 0;
            s.link = payload;
        } else if (action < 89) {
            const bool online = chance(0.6);
            send(s, "status", online ? "online" : "offline");
            statuses += s.online != online ? 1 : 0;
            s.online = online;
        } else if (action < 93) {
            // An older station's event, without numbers: keyed by what it says, stored once.
            const QByteArray payload = json({{"address", 11},
                                             {"detected_at", iso(now)},
                                             {"sign_code", 2},
                                             {"sign_text", "Сигнал"}});
            send(s, "relay/11/event", payload);
            if (chance(0.3)) {
                send(s, "relay/11/event", payload);
            }
            unnumberedEvents += 1;
        } else if (action < 95) {
            brokerUp = !brokerUp;
            historian->brokerChanged(brokerUp, brokerUp ? QString() : QStringLiteral("нет связи"));
            brokerChanges += 1;
        }

        if (outageStarts.count(step)) {
            if (db.running()) {
                db.stop();
            }
            outageEnds = step + pick(50, 250);
        }
        if (step == outageEnds) {
            ASSERT_TRUE(db.start()) << db.errors().toStdString();
        }
        if (step == restartAt) {
            historian->stop(pick(0, 1));
            historian = std::make_unique<Historian>(settingsFor(db, spool.path()), logTo);
            ASSERT_TRUE(historian->start(nullptr));
        }
        if (step % 10 == 0) {
            historian->tick();
            spooled = spooled || historian->stats().spoolBytes > 0;
        }
    }
    // Every hole shown by a later event; one of them then filled by a station's replay.
    for (SimStation& s : stations) {
        if (s.lastSkipped) {
            sendEvent(s, false);
        }
    }
    std::set<QString> gaps;
    for (size_t i = 0; i < skipped.size(); ++i) {
        const Skipped& k = skipped[i];
        const bool fill = i == 0;
        if (fill) {
            SimStation& s = *std::find_if(stations.begin(), stations.end(),
                                          [&](const SimStation& x) { return x.name == k.station; });
            send(s, QStringLiteral("relay/%1/event").arg(k.address),
                 eventJson(k.address, k.record, k.previous, k.at, true));
            events.insert(k.station + ':' + QString::number(k.record));
            arrival.push_back(k.station + ':' + QString::number(k.record));
        }
        gaps.insert(k.station + ':' + QString::number(k.record) + ':' + (fill ? "true" : "false"));
    }
    if (!db.running()) {
        ASSERT_TRUE(db.start()) << db.errors().toStdString();
    }
    ASSERT_TRUE(terval::testing::waitUntil(
        [&] {
            historian->tick();
            const auto st = historian->stats();
            return st.databaseUp && st.waiting == 0 && st.spoolBytes == 0;
        },
        60s, 50ms))
        << log.join('\n').toStdString();
    EXPECT_EQ(historian->stats().dropped, 0u);
    EXPECT_TRUE(spooled);
    EXPECT_FALSE(log.filter("недоступна").isEmpty()) << log.join('\n').toStdString();

    const auto sql = [&](const QString& text) {
        const auto out = db.psql(text);
        EXPECT_TRUE(out.has_value()) << db.errors().toStdString();
        return out.value_or(QString());
    };
    QStringList expectedEvents;
    for (const QString& e : events) {
        expectedEvents << e;
    }
    expectedEvents.sort();
    EXPECT_EQ(
        lines(sql("SELECT s.name || ':' || e.record FROM terval.events e JOIN terval.stations s "
                  "ON s.id = e.station_id WHERE e.record > 0")),
        expectedEvents.join('\n').toStdString());
    EXPECT_EQ(sql("SELECT count(*) FROM terval.events WHERE record < 0").toInt(), unnumberedEvents);
    QStringList expectedSamples(samples.begin(), samples.end());
    expectedSamples.sort();
    EXPECT_EQ(
        lines(sql(
            "SELECT s.name || ':' || r.address || ':' || (extract(epoch FROM m.at) * 1000)::bigint "
            "FROM terval.samples m JOIN terval.relays r ON r.id = m.relay_id "
            "JOIN terval.stations s ON s.id = r.station_id")),
        expectedSamples.join('\n').toStdString());
    QStringList expectedGaps(gaps.begin(), gaps.end());
    expectedGaps.sort();
    EXPECT_EQ(lines(sql("SELECT s.name || ':' || array_to_string(g.missing, ',') || ':' || "
                        "(g.filled_at IS NOT NULL) FROM terval.gaps g JOIN terval.stations s "
                        "ON s.id = g.station_id")),
              expectedGaps.join('\n').toStdString());
    EXPECT_EQ(log.filter("пропущены записи журнала").size(), qsizetype(skipped.size()))
        << log.join('\n').toStdString();
    EXPECT_EQ(sql("SELECT count(*) FROM terval.alarm_changes").toInt(), alarms);
    EXPECT_EQ(sql("SELECT count(*) FROM terval.link_changes").toInt(), links);
    EXPECT_EQ(
        sql("SELECT count(*) FROM terval.connection_changes WHERE station_id IS NOT NULL").toInt(),
        statuses);
    EXPECT_EQ(
        sql("SELECT count(*) FROM terval.connection_changes WHERE station_id IS NULL").toInt(),
        brokerChanges);
    EXPECT_EQ(sql("SELECT count(*) FROM terval.relays").toInt(), 12);
    // Rows went into the months they belong to, three of them at least.
    EXPECT_GE(sql("SELECT count(DISTINCT date_trunc('month', at)) FROM terval.samples").toInt(), 3);

    // Written in the order they came, across the outages and the restart.
    std::map<QString, qint64> storedAt;
    const QString stored =
        sql("SELECT s.name || ':' || r.record || '|' || "
            "(extract(epoch FROM r.stored_at) * 1000000)::bigint FROM "
            "terval.station_records r JOIN terval.stations s ON s.id = "
            "r.station_id WHERE r.record > 0");
    for (const QString& row : stored.split('\n')) {
        storedAt[row.section('|', 0, 0)] = row.section('|', 1).toLongLong();
    }
    qint64 last = 0;
    for (const QString& key : arrival) {
        ASSERT_TRUE(storedAt.count(key)) << key.toStdString();
        EXPECT_GE(storedAt[key], last) << key.toStdString() << " stored before what came before it";
        last = std::max(last, storedAt[key]);
    }
}
