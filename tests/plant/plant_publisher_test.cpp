// What the station tells the plant's broker: payload layouts byte for byte, the settings, and the
// publisher driven over a hostile broker for thousands of steps.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <map>
#include <random>

#include "plant/mqtt_settings.h"
#include "plant/plant_payloads.h"
#include "plant/plant_publisher.h"
#include "support/rig.h"

namespace terval {
namespace {

using testing::RecordingMessageSink;
using testing::Rig;

// ---- payloads ----

TEST(PlantPayloads, LayoutsAreExact) {
    const QDateTime answered(QDate(2026, 12, 7), QTime(18, 22, 1), QTimeZone(3 * 3600));
    RelayStateReport r;
    r.relay = 2;
    r.address = 17;
    r.generator = QStringLiteral("Ген. 2");
    r.breaker = QStringLiteral("Выкл \"2\"");
    r.tileState = kTileAnswering;
    r.insulationKohm = 1102;
    r.controlKohm = 998;
    r.lastAnswer = answered;
    r.goodAnswers = 4000000000u;
    r.badAnswers = 3;
    EXPECT_EQ(QString::fromUtf8(relayStatePayload(r)),
              QStringLiteral(
                  R"({"address":17,"bad_answers":3,"breaker":"Выкл \"2\"","control_kohm":998,)"
                  R"("generator":"Ген. 2","good_answers":4000000000,"insulation_kohm":1102,)"
                  R"("last_answer":"2026-12-07T18:22:01+03:00","relay":2,"state":"normal"})"));
    RelayStateReport never;
    never.relay = 1;
    never.tileState = kTileNoAnswer;
    EXPECT_EQ(QString::fromUtf8(relayStatePayload(never)),
              QStringLiteral(R"({"address":0,"bad_answers":0,"breaker":"","control_kohm":null,)"
                             R"("generator":"","good_answers":0,"insulation_kohm":null,)"
                             R"("last_answer":null,"relay":1,"state":"no_answer"})"));
    EXPECT_EQ(tileStateWord(kTileEvent), QStringLiteral("event"));
    EXPECT_EQ(plantTimeText(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), QTimeZone(-(5 * 3600 + 1800)))),
              QStringLiteral("2026-01-02T03:04:05-05:30"));

    JournalEntry e;
    e.kind = JournalKind::ProtectionEvent;
    e.timeMs = answered.toMSecsSinceEpoch();
    e.relay = JournalRelay{3, 3, QStringLiteral("Ген. 3"), QStringLiteral("Выкл 3")};
    e.text = QStringLiteral("07.12.2026 18:20:31  : Ген. 3,СИГНАЛЬНОЕ реле");
    e.details = ProtectionEventDetails{QDateTime(QDate(2026, 12, 7), QTime(18, 20, 28)), 2,
                                       QStringLiteral("СИГНАЛЬНОЕ реле"), std::nullopt};
    const std::optional<QByteArray> event = relayEventPayload(e);
    ASSERT_TRUE(event);
    const QJsonObject o = QJsonDocument::fromJson(*event).object();
    EXPECT_EQ(o.keys(), (QStringList{"address", "alarm_line", "breaker", "detected_at",
                                     "event_time", "generator", "relay", "sign_code",
                                     "sign_text"}));
    EXPECT_EQ(o["alarm_line"].toString(), e.text);
    EXPECT_EQ(o["event_time"].toString(), QStringLiteral("2026-12-07T18:20:28"));
    EXPECT_EQ(o["sign_code"].toInt(), 2);
    EXPECT_EQ(o["detected_at"].toString(), plantTimeText(e.localTime()));
    e.kind = JournalKind::RelaySilent;
    e.details = {};
    EXPECT_FALSE(relayEventPayload(e));

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
    l = load("[mqtt]\nhost=broker.plant\nport=8883\nprefix=plant/hall1\nuser=st1\n"
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
    void stop(const MqttMessage& last) override {
        stoppedWith = last;
        started = false;
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

    // The network thread's work: what was handed over reaches the broker.
    std::vector<MqttMessage> deliver() {
        std::vector<MqttMessage> out;
        out.swap(handed);
        return out;
    }

    BrokerStatus broker;
    int room = 64;
    bool started = false;
    MqttSettings settings;
    std::optional<MqttMessage> stoppedWith;
    int sentWhileAway = 0;
    std::vector<MqttMessage> handed;
};

TEST(PlantPublisherTest, EveryEventArrivesOnceInOrderOrIsCountedAndStatesFollowTheTiles) {
    const unsigned seed = qEnvironmentVariableIsSet("TERVAL_PLANT_SEED")
                              ? qEnvironmentVariableIntValue("TERVAL_PLANT_SEED")
                              : std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "replay with TERVAL_PLANT_SEED=" << seed);
    std::mt19937 rng(seed);
    const auto chance = [&rng](double p) { return std::uniform_real_distribution<>(0, 1)(rng) < p; };
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
    PlantPublisher& publisher = *rig.core().plant();

    const QByteArray root = "plant/hall-1/";
    std::map<QByteArray, QByteArray> retained;  // what the broker holds
    std::map<QByteArray, QDateTime> lastStateAt;
    std::vector<int> eventsSeen;
    int eventsMade = 0;
    qint64 droppedReported = 0;
    int lossesExpected = 0;
    bool lossRecorded = false;
    bool onlineSinceConnect = false;
    std::map<int, uint16_t> lastReading;

    const auto receive = [&] {
        if (client->broker.state != BrokerState::Connected) {
            return;
        }
        for (const MqttMessage& m : client->deliver()) {
            if (m.topic.endsWith("/event")) {
                ASSERT_FALSE(m.retain);
                ASSERT_GE(m.qos, 1);
                const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
                eventsSeen.push_back(o["sign_code"].toInt());
                ASSERT_EQ(m.topic, root + "relay/" + QByteArray::number(o["relay"].toInt()) +
                                       "/event");
            } else if (m.topic == root + "events_dropped") {
                ASSERT_FALSE(m.retain);
                droppedReported += QJsonDocument::fromJson(m.payload)
                                       .object()["dropped_events"]
                                       .toInteger();
            } else {
                ASSERT_TRUE(m.retain) << m.topic.toStdString();
                retained[m.topic] = m.payload;
                lastStateAt[m.topic] = rig.clock.time;
                if (m.topic == root + "status") {
                    onlineSinceConnect = m.payload == "online";
                }
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
            // A poll step; sometimes the relay says nothing and its tile goes grey.
            if (rig.tickUntilSent() < 20 && chance(0.9)) {
                const uint16_t ohms = static_cast<uint16_t>(100 + pick(3000));
                const int unit = rig.lastRequest().unit;
                rig.answerPlausibly(ohms);
                if (rig.lastRequest().reg == 0x0100) {
                    lastReading[unit] = ohms;
                }
            }
        } else if (what < 60) {
            // A burst of events; the sign code numbers them.
            const int burst = chance(0.05) ? 400 : 1 + pick(3);
            for (int k = 0; k < burst; ++k) {
                const int relay = 1 + pick(kRelays);
                rig.station().journal.protectionEvent(
                    relay, rig.clock.time, static_cast<uint16_t>(eventsMade),
                    QStringLiteral("признак"), TripRecord{}, QStringLiteral("строка %1").arg(eventsMade));
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
                onlineSinceConnect = false;
            }
        } else if (what < 72) {
            client->room = chance(0.3) ? pick(3) : 64;
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
            // With room, the broker holds every tile as the station shows it.
            EXPECT_TRUE(onlineSinceConnect) << "no online after the connection at step " << step;
            for (int n = 1; n <= kRelays; ++n) {
                const QByteArray topic = root + "relay/" + QByteArray::number(n) + "/state";
                const QJsonObject o = QJsonDocument::fromJson(retained[topic]).object();
                ASSERT_FALSE(o.isEmpty()) << "step " << step << " relay " << n;
                EXPECT_EQ(o["state"].toString(), tileStateWord(rig.station().tile(n).state));
                if (lastReading.count(n)) {
                    EXPECT_EQ(o["insulation_kohm"].toInt(), lastReading[n]) << "relay " << n;
                }
                EXPECT_LE(lastStateAt[topic].secsTo(rig.clock.time),
                          PlantPublisher::kRefreshSeconds + 3);
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
    EXPECT_EQ(eventsSeen.size() + publisher.eventsDropped(), static_cast<size_t>(eventsMade))
;
    EXPECT_EQ(droppedReported, static_cast<qint64>(publisher.eventsDropped()));
    // A relay taken off the list: its retained state is taken back.
    rig.station().devices.remove(kRelays);
    second();
    receive();
    EXPECT_EQ(retained[root + "relay/" + QByteArray::number(kRelays) + "/state"], QByteArray());

    // Stopping says offline, retained; each loss the ticks saw is in the journal once.
    rig.core().stop();
    ASSERT_TRUE(client->stoppedWith);
    EXPECT_EQ(client->stoppedWith->topic, root + "status");
    EXPECT_EQ(client->stoppedWith->payload, QByteArray("offline"));
    EXPECT_TRUE(client->stoppedWith->retain);
    RecordingMessageSink sink;
    Journal reader(rig.folder.dir(), rig.clock, sink, JournalOptions{});
    ASSERT_TRUE(reader.open());
    JournalFilter lost;
    lost.kinds = JournalKinds{JournalKind::BrokerLost};
    EXPECT_EQ(reader.count(lost).rows, static_cast<qint64>(lossesExpected));
}

}  // namespace
}  // namespace terval
