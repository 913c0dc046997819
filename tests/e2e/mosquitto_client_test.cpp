// The plant broker's client against a real mosquitto: what arrives and how, the will, a broker
// that goes and comes back, refusals, TLS, and that no call waits on a peer that stalls.

#include <gtest/gtest.h>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "mqtt/mosquitto_client.h"
#include "support/mosquitto_broker.h"
#include "support/test_subscriber.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::MosquittoBroker;
using testing::ReceivedMessage;
using testing::TestSubscriber;
using testing::waitUntil;

bool waitForState(const MosquittoClient& client, BrokerState state,
                  std::chrono::milliseconds timeout = 5s) {
    return waitUntil([&] { return client.status().state == state; }, timeout, 5ms);
}

std::string describe(const BrokerStatus& status) {
    return "state " + std::to_string(static_cast<int>(status.state)) + ", connections " +
           std::to_string(status.connections) + ", reason \"" + status.reason.toStdString() + "\"";
}

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

void measured(const std::string& what, Clock::duration duration) {
    std::cout << "[ measured ] " << what << ": " << milliseconds(duration) << " ms" << std::endl;
}

// Messages published while subscribed come with the QoS they were published with (the subscriber
// takes QoS 2), in the order handed over, not marked retained; the retained one is kept for those
// who subscribe later.
TEST(MosquittoClient, PublishesInOrderWithTheQosAndRetainGiven) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();

    MosquittoClient client;
    client.start(broker.clientSettings("st1"));
    ASSERT_TRUE(waitForState(client, BrokerState::Connected)) << describe(client.status());
    EXPECT_EQ(client.status().connections, 1u);
    EXPECT_TRUE(client.status().reason.isEmpty());

    // QoS 0 and 1 in turn: the broker keeps one client's messages in order across both.
    constexpr int kCount = 20;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(client.send({"terval/st1/seq", QByteArray::number(i), i % 2, false}));
    }
    ASSERT_TRUE(client.send({"terval/st1/kept", "kept", 1, true}));
    ASSERT_TRUE(client.send({"terval/st1/two", "two", 2, false}));
    ASSERT_TRUE(plant.waitFor(
        [](const std::vector<ReceivedMessage>& got) {
            return std::count_if(got.begin(), got.end(),
                                 [](const ReceivedMessage& m) {
                                     return m.topic == "terval/st1/seq";
                                 }) == kCount &&
                   std::any_of(got.begin(), got.end(), [](const ReceivedMessage& m) {
                       return m.topic == "terval/st1/two";
                   });
        },
        5s))
        << broker.log().toStdString();

    const std::vector<ReceivedMessage> seq = plant.messages("terval/st1/seq");
    ASSERT_EQ(seq.size(), size_t{kCount});
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(seq[i].payload, QByteArray::number(i));
        EXPECT_EQ(seq[i].qos, i % 2) << "message " << i;
        EXPECT_FALSE(seq[i].retained);
    }
    const std::vector<ReceivedMessage> kept = plant.messages("terval/st1/kept");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].qos, 1);
    EXPECT_EQ(plant.messages("terval/st1/two").at(0).qos, 2);
    EXPECT_TRUE(waitUntil([&] { return client.pending() == 0; }, 2s));

    TestSubscriber late;
    ASSERT_TRUE(late.start(broker, "terval/st1/#")) << late.errors().toStdString();
    ASSERT_TRUE(late.waitFor("terval/st1/kept", "kept", 2s));
    const ReceivedMessage stored = late.messages("terval/st1/kept").at(0);
    EXPECT_TRUE(stored.retained);
    EXPECT_EQ(stored.qos, 1);
    EXPECT_TRUE(late.messages("terval/st1/seq").empty());

    client.stop();
    EXPECT_EQ(client.status().state, BrokerState::Off);
}

// Killed, the station leaves "offline" (retained) through its will; stopped, it does not, and the
// last message given to stop() goes out before the connection closes.
TEST(MosquittoClient, WillSaysOfflineWhenTheStationDiesNotWhenItStops) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();

    QProcess probe;
    probe.start(QStringLiteral(MQTT_CLIENT_PROBE),
                {broker.host(), QString::number(broker.port()), QStringLiteral("dead")});
    ASSERT_TRUE(probe.waitForStarted(5000)) << probe.errorString().toStdString();
    ASSERT_TRUE(probe.waitForReadyRead(10000));
    ASSERT_EQ(probe.readLine().trimmed(), "online");
    ASSERT_TRUE(plant.waitFor("terval/dead/status", "online", 5s)) << broker.log().toStdString();
    probe.kill();
    probe.waitForFinished(5000);
    ASSERT_TRUE(plant.waitFor("terval/dead/status", "offline", 5s)) << broker.log().toStdString();
    TestSubscriber late;
    ASSERT_TRUE(late.start(broker, "terval/dead/status")) << late.errors().toStdString();
    ASSERT_TRUE(late.waitFor("terval/dead/status", "offline", 2s));
    EXPECT_TRUE(late.messages("terval/dead/status").at(0).retained);
    EXPECT_EQ(late.messages("terval/dead/status").at(0).qos, 1);

    MosquittoClient client;
    client.start(broker.clientSettings("clean"));
    ASSERT_TRUE(waitForState(client, BrokerState::Connected)) << describe(client.status());
    ASSERT_TRUE(plant.waitFor("terval/clean/status", "online", 5s));
    const auto before = Clock::now();
    // Everything confirmed, nothing given up.
    EXPECT_EQ(client.stop({"terval/clean/bye", "bye", 1, false}), std::vector<MqttMessage>{});
    measured("stop(last) with the broker there", Clock::now() - before);
    EXPECT_EQ(client.status().state, BrokerState::Off);
    EXPECT_TRUE(plant.waitFor("terval/clean/bye", "bye", 2s));
    EXPECT_FALSE(plant.waitFor("terval/clean/status", "offline", 1s)) << broker.log().toStdString();
    TestSubscriber after;
    ASSERT_TRUE(after.start(broker, "terval/clean/status")) << after.errors().toStdString();
    EXPECT_TRUE(after.waitFor("terval/clean/status", "online", 2s));
    client.stop();  // twice: nothing happens
}

// The broker goes for 2 s: the client says so, takes what the station hands over without waiting
// (until the hand-over is full), reconnects by itself once the broker is back and sends what
// waited, in order. Each connection's first message is "online" (QoS 1, retained), said once.
TEST(MosquittoClient, ComesBackByItselfAfterTheBrokerRestartsAndSendsWhatWaited) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();
    constexpr int kCapacity = 16;
    MosquittoClient client(kCapacity);
    EXPECT_EQ(client.capacity(), kCapacity);
    client.start(broker.clientSettings("st2"));
    ASSERT_TRUE(waitForState(client, BrokerState::Connected)) << describe(client.status());
    ASSERT_TRUE(client.send({"terval/st2/seq", "0", 1, false}));
    ASSERT_TRUE(plant.waitFor("terval/st2/seq", "0", 5s));
    // What a consumer subscribed before the station connected receives from it, in order.
    const auto saidOnceFirst = [](const std::vector<ReceivedMessage>& got) {
        std::vector<ReceivedMessage> mine;
        std::copy_if(got.begin(), got.end(), std::back_inserter(mine),
                     [](const ReceivedMessage& m) { return m.topic.startsWith("terval/st2/"); });
        ASSERT_FALSE(mine.empty());
        EXPECT_EQ(mine.front().topic, "terval/st2/status");
        EXPECT_EQ(mine.front().payload, "online");
        EXPECT_EQ(mine.front().qos, 1);
        EXPECT_EQ(
            std::count_if(mine.begin(), mine.end(),
                          [](const ReceivedMessage& m) { return m.topic == "terval/st2/status"; }),
            1);
    };
    saidOnceFirst(plant.messages());

    broker.stop();
    const auto down = Clock::now();
    ASSERT_TRUE(waitForState(client, BrokerState::Lost)) << describe(client.status());
    measured("broker stopped → Lost", Clock::now() - down);
    EXPECT_EQ(client.status().reason,
              QStringLiteral("нет связи с брокером: соединение оборвалось"));

    for (int i = 1; i <= kCapacity + 1; ++i) {
        const bool taken = client.send({"terval/st2/seq", QByteArray::number(i), i % 2, false});
        EXPECT_EQ(taken, i <= kCapacity) << "message " << i;
    }
    EXPECT_EQ(client.pending(), kCapacity);

    std::this_thread::sleep_until(down + 2s);
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    const auto up = Clock::now();
    // Subscribed again before the client's next attempt, a second or more away.
    plant.clear();
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();
    ASSERT_TRUE(waitUntil([&] { return client.status().state == BrokerState::Connected; }, 10s))
        << describe(client.status());
    measured("broker back → Connected", Clock::now() - up);
    EXPECT_EQ(client.status().connections, 2u);
    EXPECT_TRUE(client.status().reason.isEmpty());

    std::vector<QByteArray> expected;
    for (int i = 1; i <= kCapacity; ++i) {
        expected.push_back(QByteArray::number(i));
    }
    ASSERT_TRUE(plant.waitFor(
        [&](const std::vector<ReceivedMessage>& got) {
            return std::count_if(got.begin(), got.end(), [](const ReceivedMessage& m) {
                       return m.topic == "terval/st2/seq";
                   }) == kCapacity;
        },
        5s))
        << broker.log().toStdString();
    EXPECT_EQ(plant.payloads("terval/st2/seq"), expected);
    EXPECT_EQ(client.pending(), 0);
    saidOnceFirst(plant.messages());
    TestSubscriber late;
    ASSERT_TRUE(late.start(broker, "terval/st2/status")) << late.errors().toStdString();
    ASSERT_TRUE(late.waitFor("terval/st2/status", "online", 2s));
    EXPECT_TRUE(late.messages("terval/st2/status").at(0).retained);
}

// A client started before its broker keeps trying (libmosquitto's own thread would not), and
// stop() does not wait for a broker that is away or hangs.
TEST(MosquittoClient, ConnectsWhenTheBrokerComesLaterAndStopsAtOnceWithoutIt) {
    MosquittoBroker broker;
    MosquittoClient client;
    client.start(broker.clientSettings("early"));
    ASSERT_TRUE(waitForState(client, BrokerState::Lost)) << describe(client.status());
    EXPECT_EQ(client.status().reason,
              QStringLiteral("нет связи с брокером: соединение отвергнуто (брокер не запущен?)"));
    ASSERT_TRUE(client.send({"terval/early/seq", "waited", 1, false}));

    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();
    ASSERT_TRUE(waitForState(client, BrokerState::Connected, 5s)) << describe(client.status());
    EXPECT_TRUE(plant.waitFor("terval/early/seq", "waited", 5s));

    // Connected to a broker that answers nothing: stop() returns while it hangs, gives up what
    // it did not confirm, and leaves without DISCONNECT, so that the broker, back, says the will.
    broker.pause();
    const MqttMessage unanswered{"terval/early/seq", "unanswered", 1, false};
    const MqttMessage offline{"terval/early/status", "offline", 1, true};
    ASSERT_TRUE(client.send(unanswered));
    auto before = Clock::now();
    std::vector<MqttMessage> left = client.stop(offline);
    measured("stop(last) with the broker hanging", Clock::now() - before);
    // "waited" reached the subscriber, but its acknowledgement may still have been on the way to
    // the client when the broker froze: then it is rightly among what was not confirmed.
    const MqttMessage waited{"terval/early/seq", "waited", 1, false};
    if (left.size() == 3 && left.front() == waited) {
        left.erase(left.begin());
    }
    EXPECT_EQ(left, (std::vector<MqttMessage>{unanswered, offline}));
    EXPECT_EQ(client.status().state, BrokerState::Off);
    broker.resume();
    EXPECT_TRUE(plant.waitFor("terval/early/status", "offline", 5s)) << broker.log().toStdString();

    // Between two attempts with the broker gone: nothing to give up, "offline" is the will's.
    MosquittoClient other;
    other.start(broker.clientSettings("other"));
    ASSERT_TRUE(waitForState(other, BrokerState::Connected)) << describe(other.status());
    broker.stop();
    ASSERT_TRUE(waitForState(other, BrokerState::Lost)) << describe(other.status());
    before = Clock::now();
    EXPECT_EQ(other.stop({"terval/other/status", "offline", 1, true}), std::vector<MqttMessage>{});
    measured("stop(last) with the broker gone", Clock::now() - before);
}

// A peer that takes the connection and never answers CONNACK: start(), send() and stop() return
// while it stalls, the hand-over fills and refuses, and stop() gives back what waited.
TEST(MosquittoClient, NoCallWaitsOnAPeerThatNeverAnswers) {
    testing::SilentListener silent;
    ASSERT_TRUE(silent.listening());
    constexpr int kCapacity = 8;
    MosquittoClient client(kCapacity);
    client.start(silent.clientSettings("mute"));
    EXPECT_NE(client.status().state, BrokerState::Connected);
    std::vector<MqttMessage> waiting;
    for (int i = 0; i <= kCapacity; ++i) {
        const MqttMessage m{"terval/mute/seq", QByteArray::number(i), i % 2, false};
        const bool taken = client.send(m);
        EXPECT_EQ(taken, i < kCapacity) << "message " << i;
        if (taken) {
            waiting.push_back(m);
        }
    }
    EXPECT_EQ(client.status().state, BrokerState::Connecting) << describe(client.status());
    const auto before = Clock::now();
    EXPECT_EQ(client.stop({"terval/mute/status", "offline", 1, true}), waiting);
    measured("stop(last) with the connection still being made", Clock::now() - before);
    EXPECT_EQ(client.status().state, BrokerState::Off);
}

TEST(MosquittoClient, WrongPasswordIsRefusedWithTheReasonTheRightOnePublishes) {
    MosquittoBroker::Options options;
    options.user = QStringLiteral("plant");
    options.password = "s3cret";
    MosquittoBroker broker(options);
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();

    MqttSettings wrong = broker.clientSettings("wrong");
    wrong.password = "guess";
    MosquittoClient refused;
    refused.start(wrong);
    ASSERT_TRUE(waitForState(refused, BrokerState::Lost)) << describe(refused.status());
    // mosquitto refuses with "not authorised" (5), not "bad user name or password" (4).
    EXPECT_EQ(
        refused.status().reason,
        QStringLiteral(
            "брокер отказал: нет права на подключение (неверное имя пользователя или пароль?)"));
    EXPECT_EQ(refused.status().connections, 0u);
    refused.stop();

    MqttSettings anonymous = broker.clientSettings("anonymous");
    anonymous.user.clear();
    anonymous.password.clear();
    MosquittoClient nameless;
    nameless.start(anonymous);
    ASSERT_TRUE(waitForState(nameless, BrokerState::Lost)) << describe(nameless.status());
    EXPECT_EQ(
        nameless.status().reason,
        QStringLiteral(
            "брокер отказал: нет права на подключение (брокеру нужны имя пользователя и пароль?)"));
    nameless.stop();

    MosquittoClient client;
    client.start(broker.clientSettings("right"));
    ASSERT_TRUE(waitForState(client, BrokerState::Connected)) << describe(client.status());
    ASSERT_TRUE(client.send({"terval/right/seq", "1", 1, false}));
    EXPECT_TRUE(plant.waitFor("terval/right/seq", "1", 5s));
}

TEST(MosquittoClient, OverTlsWithTheBrokersCaAndRefusesAnother) {
    MosquittoBroker::Options options;
    options.tls = true;
    MosquittoBroker broker(options);
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();

    MosquittoClient client;
    client.start(broker.clientSettings("tls"));
    ASSERT_TRUE(waitForState(client, BrokerState::Connected)) << describe(client.status());
    ASSERT_TRUE(client.send({"terval/tls/seq", "1", 1, false}));
    EXPECT_TRUE(plant.waitFor("terval/tls/seq", "1", 5s));

    MqttSettings other = broker.clientSettings("other");
    other.caFile = broker.otherCaFile();
    MosquittoClient refused;
    refused.start(other);
    ASSERT_TRUE(waitForState(refused, BrokerState::Lost)) << describe(refused.status());
    EXPECT_TRUE(refused.status().reason.startsWith(
        QStringLiteral("нет связи с брокером: сертификат брокера не прошёл проверку")))
        << describe(refused.status());
    EXPECT_EQ(refused.status().connections, 0u);
    std::cout << "[ reason   ] " << refused.status().reason.toStdString() << std::endl;
}

}  // namespace
}  // namespace terval
