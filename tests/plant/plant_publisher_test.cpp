// What the station tells the plant's broker: payload layouts byte for byte, the settings, and the
// publisher driven over a hostile broker for thousands of steps.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "plant/mqtt_settings.h"
#include "plant/plant_payloads.h"
#include "plant/plant_publisher.h"
#include "support/rig.h"

namespace terval {
namespace {

using testing::RecordingMessageSink;
using testing::Rig;

// A number of a payload, or nothing for null.
std::optional<int> number(const QJsonValue& v) {
    return v.isNull() ? std::nullopt : std::optional<int>(v.toInt(-1));
}

std::optional<int> known(const std::map<int, uint16_t>& byAddress, int address) {
    const auto it = byAddress.find(address);
    return it == byAddress.end() ? std::nullopt : std::optional<int>(it->second);
}

// ---- payloads ----

TEST(PlantPayloads, LayoutsAreExact) {
    const QDateTime answered(QDate(2026, 12, 7), QTime(18, 22, 1), QTimeZone(3 * 3600));
    RelayStateReport r;
    r.relay = 2;
    r.address = 17;
    r.serial = 2417;
    r.generator = QStringLiteral("Ген. 2");
    r.breaker = QStringLiteral("Выкл \"2\"");
    r.tileState = kTileAnswering;
    r.insulationKohm = 1102;
    r.controlKohm = 998;
    r.lastAnswer = answered;
    r.goodAnswers = 4000000000u;
    r.badAnswers = 3;
    r.signalKohm = 500;
    r.tripKohm = 250;
    EXPECT_EQ(
        QString::fromUtf8(relayStatePayload(r)),
        QStringLiteral(R"({"address":17,"bad_answers":3,"breaker":"Выкл \"2\"","control_kohm":998,)"
                       R"("generator":"Ген. 2","good_answers":4000000000,"insulation_kohm":1102,)"
                       R"("last_answer":"2026-12-07T18:22:01+03:00","relay":2,"serial":2417,)"
                       R"("signal_kohm":500,"state":"normal","trip_kohm":250})"));
    RelayStateReport never;
    never.relay = 1;
    never.tileState = kTileNoAnswer;
    EXPECT_EQ(QString::fromUtf8(relayStatePayload(never)),
              QStringLiteral(R"({"address":0,"bad_answers":0,"breaker":"","control_kohm":null,)"
                             R"("generator":"","good_answers":0,"insulation_kohm":null,)"
                             R"("last_answer":null,"relay":1,"serial":null,"signal_kohm":null,)"
                             R"("state":"no_answer","trip_kohm":null})"));
    EXPECT_EQ(tileStateWord(kTileEvent), QStringLiteral("event"));
    EXPECT_EQ(
        plantTimeText(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), QTimeZone(-(5 * 3600 + 1800)))),
        QStringLiteral("2026-01-02T03:04:05-05:30"));

    JournalEntry e;
    e.kind = JournalKind::ProtectionEvent;
    e.timeMs = answered.toMSecsSinceEpoch();
    e.relay = JournalRelay{3, 3, QStringLiteral("Ген. 3"), QStringLiteral("Выкл 3")};
    e.text = QStringLiteral("07.12.2026 18:20:31  : Ген. 3,СИГНАЛЬНОЕ реле");
    e.details = ProtectionEventDetails{QDateTime(QDate(2026, 12, 7), QTime(18, 20, 28)), 2,
                                       QStringLiteral("СИГНАЛЬНОЕ реле"), std::nullopt};
    const std::optional<QByteArray> event = relayEventPayload(e, 2403);
    ASSERT_TRUE(event);
    const QJsonObject o = QJsonDocument::fromJson(*event).object();
    EXPECT_EQ(o.keys(), (QStringList{"address", "alarm_line", "breaker", "detected_at",
                                     "event_time", "generator", "previous", "record", "relay",
                                     "replayed", "serial", "sign_code", "sign_text"}));
    // Without a journal the event has no number; with one, its own and the one before it.
    EXPECT_TRUE(o["record"].isNull());
    EXPECT_TRUE(o["previous"].isNull());
    EXPECT_EQ(o["replayed"], QJsonValue(false));
    const QJsonObject numbered =
        QJsonDocument::fromJson(*relayEventPayload(e, 2403, {5000000000LL, 17, true})).object();
    EXPECT_EQ(numbered["record"].toInteger(), 5000000000LL);
    EXPECT_EQ(numbered["previous"].toInteger(), 17);
    EXPECT_EQ(numbered["replayed"], QJsonValue(true));
    EXPECT_TRUE(QJsonDocument::fromJson(*relayEventPayload(e, 2403, {1, std::nullopt, false}))
                    .object()["previous"]
                    .isNull());
    EXPECT_EQ(o["serial"].toInt(), 2403);
    EXPECT_TRUE(QJsonDocument::fromJson(*relayEventPayload(e)).object()["serial"].isNull());
    EXPECT_EQ(o["alarm_line"].toString(), e.text);
    EXPECT_EQ(o["event_time"].toString(), QStringLiteral("2026-12-07T18:20:28"));
    EXPECT_EQ(o["sign_code"].toInt(), 2);
    EXPECT_EQ(o["detected_at"].toString(), plantTimeText(e.localTime()));
    e.kind = JournalKind::RelaySilent;
    e.details = {};
    EXPECT_FALSE(relayEventPayload(e));

    // An alarm's state, a relay's and the link's: the time fields with the computer's zone, null
    // when they have not happened.
    const qint64 raised = answered.toMSecsSinceEpoch();
    Alarm trip;
    trip.kind = AlarmKind::TripRelay;
    trip.address = 17;
    trip.state = AlarmState::ActiveAcknowledged;
    trip.raisedAtMs = raised;
    trip.acknowledgedAtMs = raised + 61'000;
    trip.shelvedUntilMs = raised + 3'600'000;
    trip.shelfReason = QStringLiteral("ремонт");
    trip.text = QStringLiteral("Ген. 2: Реле ОТКЛЮЧЕНИЯ");
    JournalEntry alarm{0,
                       raised + 62'000,
                       JournalKind::AlarmChanged,
                       JournalRelay{2, 17, QStringLiteral("Ген. 2"), QString()},
                       trip.text,
                       AlarmDetails{trip, AlarmChange::Shelved, QStringLiteral("ivanov")}};
    const auto local = [](qint64 ms) { return plantTimeText(QDateTime::fromMSecsSinceEpoch(ms)); };
    EXPECT_EQ(QString::fromUtf8(*alarmPayload(alarm, 912)),
              QStringLiteral(R"({"acknowledged_at":"%1","address":17,"change":"shelved",)"
                             R"("changed_at":"%2","id":"trip_relay_17","kind":"trip_relay",)"
                             R"("priority":"high","raised_at":"%3","record":912,"relay":2,)"
                             R"("returned_at":null,)"
                             R"("shelved":true,"shelved_until":"%4","state":"active_acknowledged",)"
                             R"("suppressed":false,"text":"Ген. 2: Реле ОТКЛЮЧЕНИЯ"})")
                  .arg(local(raised + 61'000), local(raised + 62'000), local(raised),
                       local(raised + 3'600'000)));
    Alarm link;
    link.state = AlarmState::ReturnedUnacknowledged;
    link.suppressed = false;
    const QJsonObject linkAlarm =
        QJsonDocument::fromJson(*alarmPayload({0, raised, JournalKind::AlarmChanged, std::nullopt,
                                               QString(), AlarmDetails{link, {}, {}}}))
            .object();
    EXPECT_TRUE(linkAlarm["relay"].isNull());
    EXPECT_TRUE(linkAlarm["address"].isNull());
    EXPECT_TRUE(linkAlarm["raised_at"].isNull());
    EXPECT_TRUE(linkAlarm["record"].isNull());
    EXPECT_EQ(linkAlarm["id"].toString(), QStringLiteral("link_lost"));
    EXPECT_EQ(linkAlarm["state"].toString(), QStringLiteral("returned_unacknowledged"));
    EXPECT_FALSE(alarmPayload(e));

    EXPECT_EQ(linkPayload("tcp", "Ethernet TCP/IP 127.0.0.1:502", "open", "Произошло"),
              QStringLiteral(R"({"link":"Ethernet TCP/IP 127.0.0.1:502","state":"open",)"
                             R"("status_text":"Произошло","type":"tcp"})")
                  .toUtf8());
}

// ---- settings ----

TEST(MqttSettingsTest, FileCommandLineAndRefusals) {
    testing::WorkFolder folder;
    const auto load = [&folder](const QByteArray& ini, MqttCommandLine cli = {}) {
        folder.write("terval.ini", ini);
        return loadMqttSettings(folder.dir(), cli, QStringLiteral("hall-1"));
    };
    // Nothing named: off, and nothing to say.
    MqttSettingsLoad l = load("[link]\nconnectAtStart=true\n");
    EXPECT_FALSE(l.settings);
    EXPECT_TRUE(l.error.isEmpty());

    folder.write("secret", "pa ss\n");
    l = load(
        "[mqtt]\nhost=broker.plant\nport=8883\nprefix=plant/hall1\nuser=st1\n"
        "passwordFile=secret\nqos=1\n");
    ASSERT_TRUE(l.settings) << l.error.toStdString();
    EXPECT_EQ(l.settings->brokerName(), QStringLiteral("broker.plant:8883"));
    EXPECT_EQ(l.settings->topicRoot(), QByteArray("plant/hall1/hall-1/"));
    EXPECT_EQ(l.settings->clientId, QStringLiteral("terval-hall-1"));
    EXPECT_EQ(l.settings->password, QByteArray("pa ss"));
    EXPECT_EQ(l.settings->qos, 1);
    EXPECT_FALSE(l.settings->tls());

    // The command line wins; a port it leaves out stays the file's.
    l = load("[mqtt]\nhost=broker.plant\nport=8883\nstation=Г1\n", {"10.0.0.5:1884", "x"});
    ASSERT_TRUE(l.settings);
    EXPECT_EQ(l.settings->brokerName(), QStringLiteral("10.0.0.5:1884"));
    EXPECT_EQ(l.settings->topicRoot(), QStringLiteral("x/Г1/").toUtf8());
    l = load("", {"[::1]:1883", {}});
    ASSERT_TRUE(l.settings);
    EXPECT_EQ(l.settings->host, QStringLiteral("::1"));

    // Refused, each with its reason, and publishing off.
    const std::vector<std::pair<QByteArray, MqttCommandLine>> wrong = {
        {"[mqtt]\nhost=b\nport=70000\n", {}},
        {"[mqtt]\nhost=b\nqos=3\n", {}},
        {"[mqtt]\nhost=b\nprefix=a/+/c\n", {}},
        {"[mqtt]\nhost=b\nprefix=a//c\n", {}},
        {"[mqtt]\nhost=b\nstation=a/b\n", {}},
        {"[mqtt]\nhost=b\npasswordFile=secret\n", {}},
        {"[mqtt]\nhost=b\nuser=u\npasswordFile=missing\n", {}},
        {"[mqtt]\nhost=b\ncaFile=missing.crt\n", {}},
        {"", {"host:", {}}},
        {"", {"host:0", {}}},
        {"", {"a b:1", {}}},
    };
    for (const auto& [ini, cli] : wrong) {
        l = load(ini, cli);
        EXPECT_FALSE(l.settings) << ini.toStdString() << cli.hostPort.toStdString();
        EXPECT_TRUE(l.error.startsWith(QStringLiteral("Публикация в MQTT выключена: ")))
            << l.error.toStdString();
    }
}

// ---- the publisher ----

// A broker the test plays: what it is handed, and whether it is there.
class FakeMqttClient final : public MqttClient {
  public:
    void start(const MqttSettings& s) override {
        started = true;
        settings = s;
    }
    // A broker that has confirmed nothing handed over since the last delivery, nor `last`.
    std::vector<MqttMessage> stop(const MqttMessage& last) override {
        stoppedWith = last;
        started = false;
        std::vector<MqttMessage> left = handed;
        left.push_back(last);
        return left;
    }
    BrokerStatus status() const override { return broker; }
    bool send(const MqttMessage& m) override {
        if (broker.state != BrokerState::Connected) {
            ++sentWhileAway;
        }
        if (static_cast<int>(handed.size()) >= room) {
            return false;
        }
        handed.push_back(m);
        return true;
    }
    int pending() const override { return static_cast<int>(handed.size()); }
    int capacity() const override { return room; }
    std::vector<uint64_t> acknowledged() override {
        std::vector<uint64_t> out;
        out.swap(acks);
        return out;
    }

    // The network thread's work: what was handed over reaches the broker, which confirms the
    // tagged ones.
    std::vector<MqttMessage> deliver() {
        std::vector<MqttMessage> out;
        out.swap(handed);
        for (const MqttMessage& m : out) {
            if (m.tag == 0 || m.qos == 0) {
                continue;
            }
            const double fate = rng ? std::uniform_real_distribution<>(0, 1)(*rng) : 1.0;
            if (fate < ackLost) {
                continue;
            }
            (fate < ackLost + ackLate ? late : acks).push_back(m.tag);
        }
        return out;
    }
    // Confirmations held up on the way arrive now.
    void releaseLate() {
        acks.insert(acks.end(), late.begin(), late.end());
        late.clear();
    }

    BrokerStatus broker;
    int room = 64;
    bool started = false;
    MqttSettings settings;
    std::optional<MqttMessage> stoppedWith;
    int sentWhileAway = 0;
    std::vector<MqttMessage> handed;
    std::vector<uint64_t> acks;
    // Of the confirmations of what was delivered, the share that never arrives and the share
    // that arrives late, drawn from `rng` (all arrive at once without one).
    double ackLost = 0;
    double ackLate = 0;
    std::mt19937* rng = nullptr;
    std::vector<uint64_t> late;
};

TEST(PlantPublisherTest, EveryEventArrivesOnceInOrderOrIsCountedAndStatesFollowTheTiles) {
    const unsigned seed = qEnvironmentVariableIsSet("TERVAL_PLANT_SEED")
                              ? qEnvironmentVariable("TERVAL_PLANT_SEED").toUInt()
                              : std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "replay with TERVAL_PLANT_SEED=" << seed);
    std::mt19937 rng(seed);
    const auto chance = [&rng](double p) {
        return std::uniform_real_distribution<>(0, 1)(rng) < p;
    };
    const auto pick = [&rng](int n) { return std::uniform_int_distribution<>(0, n - 1)(rng); };

    FakeMqttClient* client = nullptr;
    PlantOptions plant{{QStringLiteral("127.0.0.1:1883"), QStringLiteral("plant")},
                       [&client] {
                           auto c = std::make_unique<FakeMqttClient>();
                           client = c.get();
                           return c;
                       },
                       QStringLiteral("hall-1")};
    constexpr int kRelays = 5;
    Rig rig(kRelays, kLinkTcp, {}, JournalOptions{}, plant);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->started);
    EXPECT_EQ(client->settings.topicRoot(), QByteArray("plant/hall-1/"));
    rig.connect();
    PlantPublisher& publisher = *rig.publisher();

    const QByteArray root = "plant/hall-1/";
    std::map<QByteArray, QByteArray> retained;  // what the broker holds
    std::map<QByteArray, QDateTime> lastStateAt;
    // Each event as it first arrived; the station sends again from its journal what the broker
    // had not confirmed when the connection went, and a consumer stores each record once.
    std::vector<int> eventsSeen;
    std::set<qint64> recordsSeen;
    int repeats = 0;
    int eventsMade = 0;
    qint64 droppedReported = 0;
    int lossesExpected = 0;
    bool lossRecorded = false;
    // By the relay's address, as the relays answered: insulation and serial number (status word
    // 1, made up from the address).
    std::map<int, uint16_t> lastReading;
    std::map<int, uint16_t> serialRead;
    const auto serialOf = [](int unit) { return static_cast<uint16_t>(2400 + unit * 7); };
    // Readings of an address no relay of the list has any more are forgotten with it.
    const auto forgetLeftAddresses = [&] {
        for (auto* byAddress : {&lastReading, &serialRead}) {
            std::erase_if(*byAddress, [&](const auto& kv) {
                const DeviceTable& table = rig.station().devices;
                for (int n = 1; n <= table.DeviceCount; ++n) {
                    if (table.entry(n).Address == kv.first) {
                        return false;
                    }
                }
                return true;
            });
        }
    };

    const auto receive = [&] {
        if (client->broker.state != BrokerState::Connected) {
            return;
        }
        for (const MqttMessage& m : client->deliver()) {
            if (m.topic.endsWith("/event")) {
                ASSERT_FALSE(m.retain);
                ASSERT_GE(m.qos, 1);
                const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
                ASSERT_GT(o["record"].toInteger(), 0);
                if (recordsSeen.insert(o["record"].toInteger()).second) {
                    eventsSeen.push_back(o["sign_code"].toInt());
                } else {
                    ASSERT_TRUE(o["replayed"].toBool()) << "a repeat not marked replayed";
                    ++repeats;
                }
                ASSERT_EQ(m.topic,
                          root + "relay/" + QByteArray::number(o["address"].toInt()) + "/event");
            } else if (m.topic == root + "events_dropped") {
                ASSERT_FALSE(m.retain);
                droppedReported +=
                    QJsonDocument::fromJson(m.payload).object()["dropped_events"].toInteger();
            } else {
                // "online" is the client's to say, first on each connection; the publisher
                // saying it too would repeat it after what waited for the broker.
                ASSERT_NE(m.topic, root + "status");
                ASSERT_TRUE(m.retain) << m.topic.toStdString();
                retained[m.topic] = m.payload;
                lastStateAt[m.topic] = rig.clock.time;
            }
        }
    };
    const auto second = [&] {
        rig.clock.time = rig.clock.time.addMSecs(200 + pick(2000));
        rig.core().Timer1Timer();
        if (client->broker.state == BrokerState::Lost && !lossRecorded) {
            ++lossesExpected;
            lossRecorded = true;
        } else if (client->broker.state == BrokerState::Connected) {
            lossRecorded = false;
        }
    };

    for (int step = 0; step < 6000; ++step) {
        const int what = pick(100);
        if (what < 45) {
            // A poll step; sometimes the relay says nothing and its tile goes grey. Only a
            // request just sent is answered: nothing sent in 20 ticks leaves an old one last.
            if (rig.tickUntilSent() > 0 && chance(0.9)) {
                const uint16_t ohms = static_cast<uint16_t>(100 + pick(3000));
                const testing::Request request = rig.lastRequest();
                if (request.function == 3 && request.reg == 0x0100) {
                    QVector<uint16_t> words(request.countOrValue, 0);
                    words[27] = ohms;
                    words[1] = serialOf(request.unit);
                    rig.answerRead(words);
                    lastReading[request.unit] = ohms;
                    serialRead[request.unit] = serialOf(request.unit);
                } else {
                    rig.answerPlausibly(ohms);
                }
            }
        } else if (what < 60) {
            // A burst of events; the sign code numbers them.
            const int burst = chance(0.05) ? 400 : 1 + pick(3);
            for (int k = 0; k < burst; ++k) {
                const int relay = 1 + pick(rig.station().devices.DeviceCount);
                rig.station().journal.protectionEvent(relay, rig.clock.time,
                                                      static_cast<uint16_t>(eventsMade),
                                                      QStringLiteral("признак"), TripRecord{},
                                                      QStringLiteral("строка %1").arg(eventsMade));
                ++eventsMade;
            }
        } else if (what < 66) {
            // The broker comes and goes.
            if (client->broker.state == BrokerState::Connected) {
                client->broker.state = BrokerState::Lost;
                client->broker.reason = QStringLiteral("соединение разорвано");
                if (chance(0.3)) {
                    retained.clear();  // a broker restarted without keeping anything
                }
            } else {
                client->broker.state = BrokerState::Connected;
                client->broker.reason.clear();
                ++client->broker.connections;
            }
        } else if (what < 72) {
            client->room = chance(0.3) ? pick(3) : 64;
        } else if (what < 76) {
            // The operator deletes a relay (anywhere in the list, the later tiles moving up),
            // gives one another address, or adds one (at the address of its number, which may
            // be another relay's until it is edited).
            DeviceTable& table = rig.station().devices;
            MainController& main = rig.core().main;
            const int k = 1 + pick(table.DeviceCount);
            const int change = pick(3);
            if (change == 0 && table.DeviceCount > 1) {
                table.SelectedDevice = k;
                main.NDelObjectClick();
            } else if (change == 1) {
                const int address = 1 + pick(12);
                table.SelectedDevice = k;
                const DeviceEntry& e = table.entry(k);
                main.applyDeviceEdit({e.GeneratorName, e.BreakerName, address});
            } else if (table.DeviceCount < 8) {
                main.NAddNewObjectClick();
            }
            table.SelectedDevice = 0;
            forgetLeftAddresses();
        } else {
            receive();
            second();
            ASSERT_EQ(client->sentWhileAway, 0) << "handed over while the broker was away";
            if (client->broker.state != BrokerState::Connected) {
                EXPECT_EQ(rig.view.brokerTrouble, client->broker.state == BrokerState::Lost);
                continue;
            }
            EXPECT_FALSE(rig.view.brokerTrouble);
            if (client->room < 64 || publisher.eventsWaiting() > 0 ||
                publisher.statesWaiting() > 0) {
                continue;
            }
            receive();
            if (client->broker.connections == 0) {
                continue;
            }
            // With room, the broker holds every relay as its tile shows it, under the relay's
            // address (the first tile of an address that two share), and nothing under an
            // address no relay has.
            const DeviceTable& table = rig.station().devices;
            std::map<int, int> tileOf;
            for (int n = table.DeviceCount; n >= 1; --n) {
                tileOf[table.entry(n).Address] = n;
            }
            for (const auto& [address, n] : tileOf) {
                const QByteArray topic = root + "relay/" + QByteArray::number(address) + "/state";
                const QJsonObject o = QJsonDocument::fromJson(retained[topic]).object();
                ASSERT_FALSE(o.isEmpty()) << "step " << step << " address " << address;
                EXPECT_EQ(o["relay"].toInt(), n) << "step " << step;
                EXPECT_EQ(o["address"].toInt(), address);
                EXPECT_EQ(o["generator"].toString(), table.entry(n).GeneratorName);
                EXPECT_EQ(o["state"].toString(), tileStateWord(rig.station().tile(n).state));
                EXPECT_EQ(number(o["insulation_kohm"]), known(lastReading, address))
                    << "step " << step << " address " << address;
                EXPECT_EQ(number(o["serial"]), known(serialRead, address))
                    << "step " << step << " address " << address;
                EXPECT_LE(lastStateAt[topic].secsTo(rig.clock.time),
                          PlantPublisher::kRefreshSeconds + 3);
            }
            for (const auto& [topic, payload] : retained) {
                const QList<QByteArray> levels = topic.split('/');
                if (levels.size() == 5 && levels[2] == "relay" && !payload.isEmpty()) {
                    EXPECT_TRUE(tileOf.count(levels[3].toInt()))
                        << "step " << step << ": " << topic.toStdString() << " still holds "
                        << payload.toStdString();
                }
            }
            const QJsonObject link = QJsonDocument::fromJson(retained[root + "link"]).object();
            EXPECT_EQ(link["status_text"].toString(), rig.station().statusText);
        }
    }

    // The broker back with room for all: nothing waits, and every event is either delivered or
    // counted as dropped, delivered ones in order and never twice.
    client->broker = {BrokerState::Connected, {}, client->broker.connections + 1};
    client->room = 100000;
    for (int i = 0; i < 3; ++i) {
        second();
        receive();
    }
    EXPECT_EQ(publisher.eventsWaiting(), 0);
    EXPECT_TRUE(std::is_sorted(eventsSeen.begin(), eventsSeen.end()));
    EXPECT_EQ(std::adjacent_find(eventsSeen.begin(), eventsSeen.end()), eventsSeen.end());
    EXPECT_EQ(eventsSeen.size() + publisher.eventsDropped(), static_cast<size_t>(eventsMade));
    EXPECT_EQ(droppedReported, static_cast<qint64>(publisher.eventsDropped()));
    // With a journal nothing is dropped: every event arrived.
    EXPECT_EQ(publisher.eventsDropped(), 0u);
    std::cout << eventsMade << " events, " << repeats << " sent again\n";
    // The broker holds every alarm as the station has it, whatever it missed while away.
    std::map<QString, QString> held;
    for (const auto& [topic, payload] : retained) {
        if (topic.startsWith(root + "alarm/") && !payload.isEmpty()) {
            const QJsonObject o = QJsonDocument::fromJson(payload).object();
            held[QString::fromUtf8(topic.mid(root.size() + 6))] = o["state"].toString();
        }
    }
    std::map<QString, QString> standing;
    for (const Alarm& a : rig.core().alarms.standing()) {
        standing[alarmId(a)] = alarmStateName(a.state);
    }
    for (const auto& [id, state] : held) {
        if (state != QStringLiteral("normal")) {
            EXPECT_EQ(standing[id], state) << id.toStdString();
        }
    }
    for (const auto& [id, state] : standing) {
        EXPECT_EQ(held[id], state) << id.toStdString();
    }
    // The first relay deleted, each relay at an address of its own: its retained state is
    // taken back, and the next one's, now on the first tile, stays under its own address.
    DeviceTable& table = rig.station().devices;
    while (table.DeviceCount < 3) {
        rig.core().main.NAddNewObjectClick();
    }
    for (int n = 1; n <= table.DeviceCount; ++n) {
        table.SelectedDevice = n;
        const DeviceEntry& e = table.entry(n);
        ASSERT_EQ(rig.core().main.applyDeviceEdit({e.GeneratorName + QStringLiteral(" %1").arg(n),
                                                   e.BreakerName + QStringLiteral(" %1").arg(n),
                                                   100 + n}),
                  DeviceEditCheck::Accepted);
    }
    second();
    receive();
    table.SelectedDevice = 1;
    rig.core().main.NDelObjectClick();
    second();
    receive();
    EXPECT_EQ(retained[root + "relay/101/state"], QByteArray());
    const QJsonObject moved = QJsonDocument::fromJson(retained[root + "relay/102/state"]).object();
    EXPECT_EQ(moved["relay"].toInt(), 1);
    EXPECT_EQ(moved["address"].toInt(), 102);
    EXPECT_EQ(moved["generator"].toString(), table.entry(1).GeneratorName);

    // Stopping says the link closed, then offline (QoS 1, retained); each loss the ticks saw is
    // in the journal once. An event handed over is left unconfirmed with what the stop hands
    // over, and the journal counts them; "offline" left is the will's, not counted.
    rig.station().journal.protectionEvent(1, rig.clock.time, 1, QStringLiteral("признак"),
                                          TripRecord{}, QStringLiteral("строка последняя"));
    // The event and, after it, the state of the alarm it raised.
    ASSERT_EQ(client->handed.size(), 2u);
    EXPECT_TRUE(client->handed[0].topic.endsWith("/event"));
    EXPECT_TRUE(client->handed[1].topic.startsWith(root + "alarm/protection_event_"));
    EXPECT_TRUE(client->handed[1].retain);
    rig.core().stop();
    ASSERT_TRUE(client->stoppedWith);
    EXPECT_EQ(client->stoppedWith->topic, root + "status");
    EXPECT_EQ(client->stoppedWith->payload, QByteArray("offline"));
    EXPECT_EQ(client->stoppedWith->qos, 1);
    EXPECT_TRUE(client->stoppedWith->retain);
    const auto lastLink =
        std::find_if(client->handed.rbegin(), client->handed.rend(),
                     [&root](const MqttMessage& m) { return m.topic == root + "link"; });
    ASSERT_NE(lastLink, client->handed.rend()) << "the link was not said closed at the stop";
    EXPECT_EQ(QJsonDocument::fromJson(lastLink->payload).object()["state"].toString(),
              QStringLiteral("closed"));
    RecordingMessageSink sink;
    Journal reader(rig.folder.dir(), rig.clock, sink, JournalOptions{});
    ASSERT_TRUE(reader.open());
    JournalFilter lost;
    lost.kinds = JournalKinds{JournalKind::BrokerLost};
    EXPECT_EQ(reader.count(lost).rows, static_cast<qint64>(lossesExpected) + 1);
    const JournalRows newest = reader.read(lost, 1);
    ASSERT_EQ(newest.entries.size(), 1u) << newest.error.toStdString();
    EXPECT_EQ(newest.entries[0].text,
              QStringLiteral("Брокер MQTT 127.0.0.1:1883: при остановке не переданы или не "
                             "подтверждены сообщения: %1 (из них о событиях защиты: 1)")
                  .arg(client->handed.size()));
}

// Events of a station with a journal go out from the journal. Over thousands of steps of events,
// a broker that comes and goes, a hand-over that fills, confirmations lost or late and the
// station restarted: each event arrives with its own record number and the one before it, the
// first arrivals in record order, a repeat only as replayed, the confirmed number only grows and
// never passes an event the broker lacks, and at the end every event has arrived.
TEST(PlantPublisherTest, EventsGoOutFromTheJournalThroughOutagesLostConfirmationsAndRestarts) {
    const unsigned seed = qEnvironmentVariableIsSet("TERVAL_PLANT_SEED")
                              ? qEnvironmentVariable("TERVAL_PLANT_SEED").toUInt()
                              : std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "replay with TERVAL_PLANT_SEED=" << seed);
    std::mt19937 rng(seed);
    const auto chance = [&rng](double p) {
        return std::uniform_real_distribution<>(0, 1)(rng) < p;
    };
    const auto pick = [&rng](int n) { return std::uniform_int_distribution<>(0, n - 1)(rng); };

    FakeMqttClient* client = nullptr;
    PlantOptions plant{{QStringLiteral("127.0.0.1:1883"), QStringLiteral("plant")},
                       [&] {
                           auto c = std::make_unique<FakeMqttClient>();
                           c->rng = &rng;
                           c->ackLost = 0.1;
                           c->ackLate = 0.2;
                           client = c.get();
                           return c;
                       },
                       QStringLiteral("hall-1")};
    Rig rig(3, kLinkTcp, {}, JournalOptions{}, plant);
    rig.connect();
    ASSERT_TRUE(rig.publisher()->eventsFromJournal());
    const QByteArray root = "plant/hall-1/";

    struct Arrival {
        qint64 record = 0;
        std::optional<qint64> previous;
        bool replayed = false;
        int sign = 0;
    };
    std::vector<Arrival> arrivals;
    std::set<qint64> received;
    std::vector<qint64> made;  // the events' record numbers, in order
    std::map<qint64, int> signOf;
    qint64 confirmedSeen = 0;
    size_t confirmedChecked = 0;  // made[0, this) are at or below the confirmed number, and arrived
    int restarts = 0;

    const auto receive = [&] {
        if (client->broker.state != BrokerState::Connected) {
            return;
        }
        for (const MqttMessage& m : client->deliver()) {
            const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
            if (m.topic.endsWith("/event")) {
                ASSERT_FALSE(m.retain);
                ASSERT_GE(m.qos, 1);
                const Arrival a{o["record"].toInteger(),
                                number(o["previous"]).has_value()
                                    ? std::optional<qint64>(o["previous"].toInteger())
                                    : std::nullopt,
                                o["replayed"].toBool(), o["sign_code"].toInt()};
                ASSERT_EQ(m.tag, static_cast<uint64_t>(a.record));
                arrivals.push_back(a);
                received.insert(a.record);
            } else if (m.topic.startsWith(root + "alarm/") && !m.payload.isEmpty()) {
                // Every move of an alarm reaches a persistent session, with its record.
                ASSERT_GE(m.qos, 1);
                ASSERT_GT(o["record"].toInteger(), 0) << m.payload.toStdString();
            }
        }
    };
    const auto second = [&] {
        rig.clock.time = rig.clock.time.addMSecs(200 + pick(2000));
        rig.core().Timer1Timer();
        PlantPublisher& publisher = *rig.publisher();
        ASSERT_EQ(publisher.eventsWaiting(), 0);
        ASSERT_EQ(publisher.eventsDropped(), 0u);
        ASSERT_LE(publisher.largestEventRead(), PlantPublisher::kEventsRead);
        ASSERT_GE(publisher.confirmedEvent(), confirmedSeen);
        confirmedSeen = publisher.confirmedEvent();
        for (; confirmedChecked < made.size() && made[confirmedChecked] <= confirmedSeen;
             ++confirmedChecked) {
            ASSERT_TRUE(received.count(made[confirmedChecked]))
                << "record " << made[confirmedChecked] << " counted as confirmed, never arrived";
        }
    };

    for (int step = 0; step < 5000; ++step) {
        const int what = pick(100);
        if (what < 30) {
            const int burst = chance(0.02) ? 300 : 1 + pick(3);
            for (int k = 0; k < burst; ++k) {
                const int sign = static_cast<int>(made.size() % 60000);
                rig.station().journal.protectionEvent(1 + pick(rig.station().devices.DeviceCount),
                                                      rig.clock.time, static_cast<uint16_t>(sign),
                                                      QStringLiteral("признак"), TripRecord{},
                                                      QStringLiteral("строка %1").arg(made.size()));
                const qint64 id = rig.core().journal()->newestProtectionEvent().value_or(0);
                ASSERT_GT(id, made.empty() ? 0 : made.back());
                made.push_back(id);
                signOf[id] = sign;
            }
        } else if (what < 40) {
            if (client->broker.state == BrokerState::Connected) {
                client->broker.state = BrokerState::Lost;
                client->broker.reason = QStringLiteral("соединение разорвано");
            } else {
                client->broker.state = BrokerState::Connected;
                client->broker.reason.clear();
                ++client->broker.connections;
            }
        } else if (what < 45) {
            client->room = chance(0.3) ? pick(3) : 64;
        } else if (what < 50) {
            client->releaseLate();
        } else if (what < 51) {
            // The station closed and started again: it goes on from what the journal kept.
            const qint64 before = rig.publisher()->confirmedEvent();
            rig.restart();
            rig.connect();
            ASSERT_TRUE(rig.publisher()->eventsFromJournal());
            // Confirmations taken in at the stop count too; second() checks they are true.
            ASSERT_GE(rig.publisher()->confirmedEvent(), before);
            if (chance(0.7)) {
                client->broker = {BrokerState::Connected, {}, 1};
            }
            ++restarts;
        } else {
            receive();
            second();
            ASSERT_EQ(client->sentWhileAway, 0) << "handed over while the broker was away";
        }
    }

    // The broker back for good, confirming everything, with room for all.
    client->broker = {BrokerState::Connected, {}, client->broker.connections + 1};
    client->room = 100000;
    client->ackLost = 0;
    client->ackLate = 0;
    client->releaseLate();
    for (int i = 0; i < 4; ++i) {
        receive();
        second();
    }
    receive();
    ASSERT_FALSE(made.empty());
    EXPECT_GT(restarts, 0);
    for (const qint64 record : made) {
        ASSERT_TRUE(received.count(record)) << "record " << record << " never arrived";
    }
    EXPECT_EQ(rig.publisher()->confirmedEvent(), made.back());
    EXPECT_EQ(rig.core().journal()->mark(PlantPublisher::kConfirmedMark), made.back());

    // Caught up, with the broker there and room in the hand-over: a new event goes out at once,
    // as it happened, not as a replay. (During the run a lost confirmation holds the confirmed
    // number back until the next connection, so a run may well replay every event it makes.)
    rig.station().journal.protectionEvent(1, rig.clock.time, 1, QStringLiteral("признак"),
                                          TripRecord{}, QStringLiteral("последнее"));
    made.push_back(rig.core().journal()->newestProtectionEvent().value_or(0));
    signOf[made.back()] = 1;
    const size_t before = arrivals.size();
    receive();
    ASSERT_EQ(arrivals.size(), before + 1);
    EXPECT_EQ(arrivals.back().record, made.back());
    EXPECT_FALSE(arrivals.back().replayed);

    std::map<qint64, std::optional<qint64>> previousOf;
    for (size_t i = 0; i < made.size(); ++i) {
        previousOf[made[i]] = i == 0 ? std::nullopt : std::optional<qint64>(made[i - 1]);
    }
    std::set<qint64> seen;
    qint64 newestFirst = 0;
    int replays = 0;
    for (const Arrival& a : arrivals) {
        ASSERT_TRUE(previousOf.count(a.record)) << "record " << a.record << " is no event";
        EXPECT_EQ(a.previous, previousOf[a.record]) << "record " << a.record;
        EXPECT_EQ(a.sign, signOf[a.record]) << "record " << a.record;
        const bool first = seen.insert(a.record).second;
        if (first) {
            ASSERT_GT(a.record, newestFirst) << "an event arrived before an older one";
            newestFirst = a.record;
        } else {
            EXPECT_TRUE(a.replayed) << "record " << a.record << " repeated without the mark";
        }
        replays += a.replayed ? 1 : 0;
    }
    EXPECT_GT(replays, 0);

    // A station without a journal numbers nothing and keeps its events in memory, as before.
    Rig bare(1, kLinkTcp, {}, std::nullopt, plant);
    bare.connect();
    ASSERT_FALSE(bare.publisher()->eventsFromJournal());
    client->broker = {BrokerState::Connected, {}, 1};
    bare.station().journal.protectionEvent(1, bare.clock.time, 7, QStringLiteral("признак"),
                                           TripRecord{}, QStringLiteral("строка"));
    const auto handedEvent =
        std::find_if(client->handed.begin(), client->handed.end(),
                     [](const MqttMessage& m) { return m.topic.endsWith("/event"); });
    ASSERT_NE(handedEvent, client->handed.end());
    EXPECT_EQ(handedEvent->tag, 0u);
    const QJsonObject bareEvent = QJsonDocument::fromJson(handedEvent->payload).object();
    EXPECT_EQ(bareEvent["sign_code"].toInt(), 7);
    EXPECT_TRUE(bareEvent["record"].isNull());
    EXPECT_FALSE(bareEvent["replayed"].toBool());
}

}  // namespace
}  // namespace terval
