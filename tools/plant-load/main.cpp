// plant-load: publishes as N stations of M relays each into an MQTT broker, in the stations' own
// topics and payloads, so that the plant historian can be measured without a hundred stations.
//
// Every station says "online" (retained), then each relay's state goes out every --state-every
// seconds (retained, the insulation wandering a little each time, the relay's last answer the time
// of sending), and protection events at --events-per-second over the whole plant, each numbered as
// a station's journal numbers it (record, previous). With --burst every state of every station goes
// out at once first, as a broker hands them to a historian that subscribes.
//
// One connection carries all stations: what the historian receives is the same as from a
// connection each, and one process can then keep a plant's pace.

#include <mosquitto.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <cstdio>
#include <random>
#include <vector>

#include "plant/plant_payloads.h"
#include "station/journal_entry.h"

namespace {

using namespace terval;

struct Relay {
    int insulation = 2000;
    uint32_t good = 0;
};

struct Station {
    QByteArray root;  // "<prefix>/<station>/"
    std::vector<Relay> relays;
    qint64 lastRecord = 0;
    qint64 lastEvent = 0;
};

struct Load {
    mosquitto* client = nullptr;
    int qos = 1;
    uint64_t published = 0;
    uint64_t failed = 0;

    void publish(const QByteArray& topic, const QByteArray& payload, bool retain, int qos) {
        const int rc =
            mosquitto_publish(client, nullptr, topic.constData(), static_cast<int>(payload.size()),
                              payload.constData(), qos, retain);
        if (rc == MOSQ_ERR_SUCCESS) {
            ++published;
        } else {
            ++failed;
        }
    }
};

QByteArray statePayload(const Station& s, int index, const QDateTime& now) {
    const Relay& r = s.relays[static_cast<size_t>(index)];
    RelayStateReport report;
    report.relay = index + 1;
    report.address = static_cast<uint16_t>(index + 1);
    report.serial = static_cast<uint16_t>(1000 + index);
    report.generator = QStringLiteral("Ген. %1").arg(index + 1);
    report.breaker = QStringLiteral("Выкл %1").arg(index + 1);
    report.tileState = 2;  // answering, nothing waiting
    report.insulationKohm = static_cast<uint16_t>(r.insulation);
    report.controlKohm = 100;
    report.lastAnswer = now;
    report.goodAnswers = r.good;
    return relayStatePayload(report);
}

QByteArray eventPayload(Station& s, int index, const QDateTime& now) {
    JournalEntry entry;
    entry.timeMs = now.toMSecsSinceEpoch();
    entry.kind = JournalKind::ProtectionEvent;
    entry.relay = JournalRelay{index + 1, static_cast<uint16_t>(index + 1),
                               QStringLiteral("Ген. %1").arg(index + 1),
                               QStringLiteral("Выкл %1").arg(index + 1)};
    ProtectionEventDetails details;
    details.relayTime = now;
    details.signCode = 4;
    details.signText = QStringLiteral("Реле ОТКЛЮЧЕНИЯ");
    entry.details = details;
    entry.text = now.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")) + QStringLiteral("  : ") +
                 entry.relay->generator + QStringLiteral(",Реле ОТКЛЮЧЕНИЯ");
    QJsonObject o =
        QJsonDocument::fromJson(relayEventPayload(entry, uint16_t(1000 + index)).value()).object();
    // A station's journal numbers every record, most of them not events: the numbers leap.
    const qint64 record = s.lastRecord + 7;
    o[QStringLiteral("record")] = record;
    o[QStringLiteral("previous")] = s.lastEvent > 0 ? QJsonValue(s.lastEvent) : QJsonValue();
    o[QStringLiteral("replayed")] = false;
    s.lastRecord = record;
    s.lastEvent = record;
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Publishes as a plant of stations into a broker."));
    parser.addHelpOption();
    const QCommandLineOption broker({QStringLiteral("mqtt")}, QStringLiteral("The broker."),
                                    QStringLiteral("HOST:PORT"));
    const QCommandLineOption prefix({QStringLiteral("prefix")}, QStringLiteral("Topic prefix."),
                                    QStringLiteral("P"), QStringLiteral("terval"));
    const QCommandLineOption stations({QStringLiteral("stations")}, QStringLiteral("Stations."),
                                      QStringLiteral("N"), QStringLiteral("100"));
    const QCommandLineOption relays({QStringLiteral("relays")},
                                    QStringLiteral("Relays per station."), QStringLiteral("M"),
                                    QStringLiteral("32"));
    const QCommandLineOption stateEvery({QStringLiteral("state-every")},
                                        QStringLiteral("Seconds between a relay's states."),
                                        QStringLiteral("S"), QStringLiteral("5"));
    const QCommandLineOption eventRate({QStringLiteral("events-per-second")},
                                       QStringLiteral("Protection events a second, plant-wide."),
                                       QStringLiteral("R"), QStringLiteral("2"));
    const QCommandLineOption seconds({QStringLiteral("seconds")},
                                     QStringLiteral("How long to publish (0: only the burst)."),
                                     QStringLiteral("T"), QStringLiteral("60"));
    const QCommandLineOption burst({QStringLiteral("burst")},
                                   QStringLiteral("Every state of every station at once first."));
    parser.addOptions({broker, prefix, stations, relays, stateEvery, eventRate, seconds, burst});
    parser.process(app);

    const QString hostPort = parser.value(broker);
    const QString host = hostPort.section(QLatin1Char(':'), 0, 0);
    bool ok = true;
    const int port = hostPort.section(QLatin1Char(':'), 1).toInt(&ok);
    const int stationCount = parser.value(stations).toInt();
    const int relayCount = parser.value(relays).toInt();
    const double every = parser.value(stateEvery).toDouble();
    const double rate = parser.value(eventRate).toDouble();
    const double duration = parser.value(seconds).toDouble();
    if (host.isEmpty() || !ok || port < 1 || port > 65535 || stationCount < 1 || relayCount < 1 ||
        relayCount > 32 || every <= 0 || rate < 0 || duration < 0) {
        std::fprintf(stderr, "plant-load: wrong arguments; see --help\n");
        return 2;
    }

    mosquitto_lib_init();
    Load load;
    load.client = mosquitto_new("terval-plant-load", true, nullptr);
    // Far more than the broker's default in-flight window would hold back.
    mosquitto_max_inflight_messages_set(load.client, 0);
    if (load.client == nullptr ||
        mosquitto_connect(load.client, host.toUtf8().constData(), port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(load.client) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "plant-load: cannot connect to %s\n", qPrintable(hostPort));
        return 1;
    }

    std::mt19937 random(12345);
    std::vector<Station> plant(static_cast<size_t>(stationCount));
    for (int i = 0; i < stationCount; ++i) {
        Station& s = plant[static_cast<size_t>(i)];
        s.root =
            (parser.value(prefix) + QStringLiteral("/load-%1/").arg(i + 1, 3, 10, QLatin1Char('0')))
                .toUtf8();
        s.relays.resize(static_cast<size_t>(relayCount));
        for (Relay& r : s.relays) {
            r.insulation = 500 + static_cast<int>(random() % 3000);
        }
        load.publish(s.root + "status", "online", true, 1);
    }

    const auto publishState = [&](Station& s, int index, const QDateTime& now) {
        Relay& r = s.relays[static_cast<size_t>(index)];
        r.insulation = std::clamp(r.insulation + static_cast<int>(random() % 21) - 10, 1, 9999);
        ++r.good;
        load.publish(s.root + "relay/" + QByteArray::number(index + 1) + "/state",
                     statePayload(s, index, now), true, load.qos);
    };

    QElapsedTimer clock;
    clock.start();
    if (parser.isSet(burst)) {
        const QDateTime now = QDateTime::currentDateTime();
        for (Station& s : plant) {
            for (int r = 0; r < relayCount; ++r) {
                publishState(s, r, now);
            }
        }
        std::printf("burst: %llu messages (states and statuses) handed to the client in %lld ms\n",
                    static_cast<unsigned long long>(load.published),
                    static_cast<long long>(clock.elapsed()));
    }

    // States spread evenly over each period; events at their rate, a random relay each.
    const int total = stationCount * relayCount;
    const double statesPerSecond = total / every;
    double stateDebt = 0;
    double eventDebt = 0;
    uint64_t events = 0;
    int next = 0;
    qint64 last = clock.elapsed();
    const qint64 end = last + static_cast<qint64>(duration * 1000);
    while (clock.elapsed() < end) {
        QThread::msleep(10);
        const qint64 t = clock.elapsed();
        const double dt = (t - last) / 1000.0;
        last = t;
        stateDebt += statesPerSecond * dt;
        eventDebt += rate * dt;
        const QDateTime now = QDateTime::currentDateTime();
        for (; stateDebt >= 1; stateDebt -= 1) {
            Station& s = plant[static_cast<size_t>(next / relayCount)];
            publishState(s, next % relayCount, now);
            next = (next + 1) % total;
        }
        for (; eventDebt >= 1; eventDebt -= 1) {
            Station& s = plant[random() % plant.size()];
            const int r = static_cast<int>(random() % static_cast<unsigned>(relayCount));
            load.publish(s.root + "relay/" + QByteArray::number(r + 1) + "/event",
                         eventPayload(s, r, now), false, 1);
            ++events;
        }
    }
    // What is still in flight goes before the connection closes.
    QThread::msleep(500);
    mosquitto_disconnect(load.client);
    mosquitto_loop_stop(load.client, false);
    mosquitto_destroy(load.client);
    mosquitto_lib_cleanup();
    std::printf("published %llu messages (%llu events), %llu refused, in %.1f s\n",
                static_cast<unsigned long long>(load.published),
                static_cast<unsigned long long>(events),
                static_cast<unsigned long long>(load.failed), clock.elapsed() / 1000.0);
    return load.failed == 0 ? 0 : 1;
}
