// plant-load: publishes to an MQTT broker as N stations of 32 relays would, for measuring the
// plant's historian: each relay's retained state every few seconds, protection events at a chosen
// rate numbered per station as a station's journal numbers them.
//
//   plant-load --mqtt 127.0.0.1:1883 [--prefix terval] [--stations 100] [--relays 32]
//              [--state-every 5] [--events-per-second 1] [--seconds 60] [--retained-once]
//
// --retained-once publishes every relay's state once, retained, and stops: the burst a historian
// meets when it subscribes to a broker that holds every station's states. It prints what it
// published and at what rate on standard output.

#include <mosquitto.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

QByteArray statePayload(int address, int good, std::mt19937& random) {
    QJsonObject o;
    o[QStringLiteral("address")] = address;
    o[QStringLiteral("relay")] = address;
    o[QStringLiteral("serial")] = 2400 + address;
    o[QStringLiteral("generator")] = QStringLiteral("Ген. %1").arg(address);
    o[QStringLiteral("breaker")] = QStringLiteral("Выкл %1").arg(address);
    o[QStringLiteral("state")] = QStringLiteral("normal");
    o[QStringLiteral("insulation_kohm")] = 900 + int(random() % 400);
    o[QStringLiteral("control_kohm")] = 100;
    o[QStringLiteral("good_answers")] = good;
    o[QStringLiteral("bad_answers")] = 0;
    o[QStringLiteral("last_answer")] =
        QDateTime::currentDateTime()
            .toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
            .toString(Qt::ISODateWithMs);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray eventPayload(int address, qint64 record, qint64 previous) {
    const QDateTime now = QDateTime::currentDateTime();
    QJsonObject o;
    o[QStringLiteral("address")] = address;
    o[QStringLiteral("relay")] = address;
    o[QStringLiteral("serial")] = 2400 + address;
    o[QStringLiteral("generator")] = QStringLiteral("Ген. %1").arg(address);
    o[QStringLiteral("breaker")] = QStringLiteral("Выкл %1").arg(address);
    o[QStringLiteral("sign_code")] = 4;
    o[QStringLiteral("sign_text")] = QStringLiteral("Реле ОТКЛЮЧЕНИЯ");
    o[QStringLiteral("alarm_line")] = now.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")) +
                                      QStringLiteral("  : Ген. %1,Реле ОТКЛЮЧЕНИЯ").arg(address);
    o[QStringLiteral("event_time")] = now.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    o[QStringLiteral("detected_at")] =
        now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
    o[QStringLiteral("record")] = record;
    o[QStringLiteral("previous")] = previous > 0 ? QJsonValue(previous) : QJsonValue();
    o[QStringLiteral("replayed")] = false;
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Нагрузка для архива завода: публикует в брокер MQTT состояния и события N станций."));
    parser.addHelpOption();
    const QCommandLineOption mqtt(QStringLiteral("mqtt"), QStringLiteral("Брокер."),
                                  QStringLiteral("УЗЕЛ:ПОРТ"), QStringLiteral("127.0.0.1:1883"));
    const QCommandLineOption prefix(QStringLiteral("prefix"), QStringLiteral("Префикс тем."),
                                    QStringLiteral("ПРЕФИКС"), QStringLiteral("terval"));
    const QCommandLineOption stations(QStringLiteral("stations"), QStringLiteral("Станций."),
                                      QStringLiteral("N"), QStringLiteral("100"));
    const QCommandLineOption relays(QStringLiteral("relays"), QStringLiteral("Реле у станции."),
                                    QStringLiteral("N"), QStringLiteral("32"));
    const QCommandLineOption stateEvery(QStringLiteral("state-every"),
                                        QStringLiteral("Секунд между состояниями реле."),
                                        QStringLiteral("С"), QStringLiteral("5"));
    const QCommandLineOption eventRate(QStringLiteral("events-per-second"),
                                       QStringLiteral("Событий в секунду на весь завод."),
                                       QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Сколько секунд."),
                                     QStringLiteral("С"), QStringLiteral("60"));
    const QCommandLineOption once(QStringLiteral("retained-once"),
                                  QStringLiteral("Опубликовать состояние каждого реле один раз "
                                                 "(с сохранением) и завершиться."));
    parser.addOptions({mqtt, prefix, stations, relays, stateEvery, eventRate, seconds, once});
    parser.process(app);
    QTextStream out(stdout);
    QTextStream err(stderr);

    const QString hostPort = parser.value(mqtt);
    const QByteArray host = hostPort.section(QLatin1Char(':'), 0, 0).toUtf8();
    const int port = hostPort.section(QLatin1Char(':'), 1).toInt();
    const int n = parser.value(stations).toInt();
    const int r = parser.value(relays).toInt();
    const double every = parser.value(stateEvery).toDouble();
    const double rate = parser.value(eventRate).toDouble();
    const double duration = parser.value(seconds).toDouble();
    if (host.isEmpty() || port < 1 || port > 65535 || n < 1 || r < 1 || r > 247 || every <= 0 ||
        rate < 0 || duration <= 0) {
        err << "plant-load: неверный параметр" << Qt::endl;
        return 2;
    }

    mosquitto_lib_init();
    // Written (QoS 0) or acknowledged (QoS 1): what the broker has at the end.
    static std::atomic<uint64_t> done{0};
    mosquitto* mosq = mosquitto_new("terval-plant-load", true, nullptr);
    mosquitto_publish_callback_set(mosq, [](mosquitto*, void*, int) { ++done; });
    mosquitto_int_option(mosq, MOSQ_OPT_SEND_MAXIMUM, 1000);
    mosquitto_max_inflight_messages_set(mosq, 1000);
    if (mosquitto_connect(mosq, host.constData(), port, 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
        err << "plant-load: брокер " << hostPort << " недоступен" << Qt::endl;
        return 1;
    }
    const QByteArray root = parser.value(prefix).toUtf8() + "/";
    std::mt19937 random(1);
    uint64_t states = 0;
    uint64_t events = 0;
    const auto publish = [&](const QByteArray& topic, const QByteArray& payload, int qos,
                             bool retain) {
        while (mosquitto_publish(mosq, nullptr, topic.constData(), int(payload.size()),
                                 payload.constData(), qos, retain) == MOSQ_ERR_NOMEM) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    const auto stateTopic = [&](int s, int a) {
        return root + "load-" + QByteArray::number(s) + "/relay/" + QByteArray::number(a) +
               "/state";
    };
    const Clock::time_point start = Clock::now();
    if (parser.isSet(once)) {
        for (int s = 1; s <= n; ++s) {
            for (int a = 1; a <= r; ++a) {
                publish(stateTopic(s, a), statePayload(a, 1, random), 1, true);
                ++states;
            }
        }
    } else {
        // Each relay's state once per `every` seconds, spread evenly; events at `rate`, each from
        // a station and relay drawn at random, numbered per station.
        std::vector<qint64> lastRecord(size_t(n) + 1, 0);
        const double perSecond = n * r / every;
        double statesDue = 0;
        double eventsDue = 0;
        uint64_t next = 0;
        Clock::time_point tick = start;
        while (Clock::now() - start < std::chrono::duration<double>(duration)) {
            tick += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(tick);
            statesDue += perSecond / 100;
            eventsDue += rate / 100;
            for (; statesDue >= 1; statesDue -= 1, ++next) {
                const int s = int(next / uint64_t(r) % uint64_t(n)) + 1;
                const int a = int(next % uint64_t(r)) + 1;
                publish(stateTopic(s, a), statePayload(a, int(next / uint64_t(r * n)), random), 0,
                        true);
                ++states;
            }
            for (; eventsDue >= 1; eventsDue -= 1) {
                const int s = int(random() % uint32_t(n)) + 1;
                const int a = int(random() % uint32_t(r)) + 1;
                const qint64 record = lastRecord[size_t(s)] + 1 + qint64(random() % 3);
                publish(root + "load-" + QByteArray::number(s) + "/relay/" + QByteArray::number(a) +
                            "/event",
                        eventPayload(a, record, lastRecord[size_t(s)]), 1, false);
                lastRecord[size_t(s)] = record;
                ++events;
            }
        }
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    const Clock::time_point drainBy = Clock::now() + std::chrono::seconds(60);
    while (done.load() < states + events && Clock::now() < drainBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    out << "published " << states << " states, " << events << " events in " << took << " s ("
        << (states + events) / took << " messages/s)" << Qt::endl;
    if (done.load() < states + events) {
        err << "plant-load: the broker confirmed only " << done.load() << Qt::endl;
        return 1;
    }
    return 0;
}
