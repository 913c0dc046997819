// The broker client's rules of order, over a library the test plays: "online" first on every
// connection, the hand-over's order kept through connections lost and messages taken back, at
// most 20 in flight, acknowledgements early or out of order, stop() that does not wait for a
// broker that never answers, and the calls only its owner thread may make.

#include <gtest/gtest.h>

#include <QtGlobal>
#include <algorithm>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "mqtt/fake_mosquitto.h"
#include "mqtt/mosquitto_client.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using testing::FakeBroker;
using testing::FakeMosquitto;
using testing::waitUntil;

MqttSettings stationSettings() {
    MqttSettings s;
    s.host = QStringLiteral("127.0.0.1");
    s.port = 1883;
    s.prefix = QStringLiteral("terval");
    s.station = QStringLiteral("st");
    s.clientId = QStringLiteral("terval-st");
    return s;
}

// A client over the test's library, trying again at once when a connection goes.
std::unique_ptr<MosquittoClient> clientOver(const std::shared_ptr<FakeBroker>& broker,
                                            int capacity = 256) {
    return std::make_unique<MosquittoClient>(
        [broker] { return std::make_unique<FakeMosquitto>(broker); }, capacity,
        MosquittoTiming{0ms, 0ms});
}

bool isOnline(const MqttMessage& m) {
    return m.topic == "terval/st/status" && m.payload == "online";
}

// Until the network thread waits in loop() with nothing left to deliver and the hand-over has
// given what the connection lets it.
bool settled(FakeBroker& b, const MosquittoClient& client) {
    return waitUntil(
        [&] {
            std::lock_guard lock(b.mutex);
            return b.looping && b.script.empty() && !b.closing &&
                   (b.net != FakeBroker::Net::Connected || b.stationHeld() >= 20 ||
                    client.pending() == 0);
        },
        5s, 0ms);
}

TEST(MosquittoClientOrder, HoldsThroughThousandsOfSendsAcknowledgementsAndLostConnections) {
    const unsigned seed = qEnvironmentVariableIsSet("TERVAL_MQTT_SEED")
                              ? qEnvironmentVariable("TERVAL_MQTT_SEED").toUInt()
                              : std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "replay with TERVAL_MQTT_SEED=" << seed);
    std::mt19937 rng(seed);
    const auto pick = [&rng](int n) { return std::uniform_int_distribution<>(0, n - 1)(rng); };

    // One QoS per topic, as the station publishes.
    const std::vector<std::pair<QByteArray, int>> topics = {{"terval/st/relay/1/state", 0},
                                                            {"terval/st/link", 0},
                                                            {"terval/st/relay/1/event", 1},
                                                            {"terval/st/relay/2/event", 2}};
    constexpr int kCapacity = 30;
    const auto broker = std::make_shared<FakeBroker>();
    FakeBroker& b = *broker;
    const std::unique_ptr<MosquittoClient> client = clientOver(broker, kCapacity);
    client->start(stationSettings());

    // Every message handed over, by its number (its payload).
    std::vector<MqttMessage> handed;
    int refused = 0;
    // The tags acknowledged() told, by how many times; every message is tagged with its number
    // plus one, a QoS 0 one included, whose writing is no confirmation.
    std::map<uint64_t, int> told;
    const auto collect = [&] {
        for (const uint64_t tag : client->acknowledged()) {
            ++told[tag];
        }
    };
    for (int step = 0; step < 4000; ++step) {
        ASSERT_TRUE(settled(b, *client)) << "step " << step;
        collect();
        std::unique_lock lock(b.mutex);
        const FakeBroker::Net net = b.net;
        const std::vector<FakeBroker::Held> held = b.held;
        lock.unlock();
        const int what = pick(100);
        if (what < 35) {
            for (int k = 1 + pick(6); k > 0; --k) {
                const auto& [topic, qos] = topics[static_cast<size_t>(pick(4))];
                const MqttMessage m{topic, QByteArray::number(handed.size()), qos, qos == 0,
                                    handed.size() + 1};
                const int before = client->pending();
                if (client->send(m)) {
                    handed.push_back(m);
                } else {
                    // Only a full hand-over refuses; it cannot have filled up meanwhile.
                    ASSERT_GE(before, kCapacity) << "step " << step;
                    ++refused;
                }
            }
        } else if (what < 75) {
            if (net == FakeBroker::Net::Connected && !held.empty()) {
                // Out of order as often as not.
                std::vector<FakeBroker::Held> some = held;
                std::shuffle(some.begin(), some.end(), rng);
                some.resize(std::min<size_t>(some.size(), 1 + static_cast<size_t>(pick(4))));
                for (const FakeBroker::Held& h : some) {
                    b.push(FakeBroker::Step::Ack, h.mid);
                }
            }
        } else if (what < 82) {
            if (net == FakeBroker::Net::Connected) {
                b.push(FakeBroker::Step::Drop);
            }
        } else if (what < 95) {
            if (net == FakeBroker::Net::Connecting) {
                b.push(FakeBroker::Step::Connack, pick(10) == 0 ? 5 : 0);
            }
        } else {
            lock.lock();
            b.ackAtOnce = !b.ackAtOnce;
        }
    }

    // Connected for good and every message acknowledged: nothing waits.
    {
        std::lock_guard lock(b.mutex);
        b.ackAtOnce = false;
    }
    for (int round = 0;; ++round) {
        ASSERT_LT(round, 1000);
        ASSERT_TRUE(settled(b, *client));
        std::unique_lock lock(b.mutex);
        const FakeBroker::Net net = b.net;
        const std::vector<FakeBroker::Held> held = b.held;
        lock.unlock();
        if (net == FakeBroker::Net::Connecting) {
            b.push(FakeBroker::Step::Connack, 0);
        } else if (!held.empty()) {
            for (const FakeBroker::Held& h : held) {
                b.push(FakeBroker::Step::Ack, h.mid);
            }
        } else if (client->pending() == 0) {
            break;
        }
    }
    {
        std::lock_guard lock(b.mutex);
        b.ackAtOnce = true;
    }
    EXPECT_TRUE(client->stop({"terval/st/status", "offline", 1, true}).empty());
    ASSERT_EQ(client->status().state, BrokerState::Off);
    collect();
    for (size_t n = 0; n < handed.size(); ++n) {
        EXPECT_EQ(told[n + 1], handed[n].qos > 0 ? 1 : 0) << "message " << n;
    }

    std::lock_guard lock(b.mutex);
    EXPECT_EQ(b.violations, std::vector<std::string>{});
    EXPECT_EQ(b.disconnects, 1) << "stopped with everything confirmed, the client says DISCONNECT";
    EXPECT_GT(b.connections, 10);
    std::cout << handed.size() << " messages, " << refused << " refused, " << b.connections
              << " connections\n";

    // Replayed: what went on the wire of each connection and what came back.
    std::map<int, std::vector<MqttMessage>> wire;  // by connection
    std::set<int> acked;
    std::map<int, int> ackCount;
    // By topic: the numbers put on this connection's wire.
    std::map<int, std::map<QByteArray, std::set<int>>> wiredOn;
    const auto numberOf = [](const MqttMessage& m) { return m.payload.toInt(); };
    for (const FakeBroker::Seen& s : b.seen) {
        if (s.acked) {
            if (!s.message.topic.endsWith("/status")) {
                acked.insert(numberOf(s.message));
                ++ackCount[numberOf(s.message)];
            }
            continue;
        }
        std::vector<MqttMessage>& on = wire[s.connection];
        if (on.empty()) {
            ASSERT_TRUE(isOnline(s.message))
                << "connection " << s.connection << " began with " << s.message.topic.toStdString();
        }
        on.push_back(s.message);
        if (s.message.topic.endsWith("/status")) {
            continue;
        }
        const int n = numberOf(s.message);
        MqttMessage expected = handed.at(static_cast<size_t>(n));
        expected.tag = 0;  // the sender's, not the wire's
        ASSERT_EQ(s.message, expected);
        std::set<int>& mine = wiredOn[s.connection][s.message.topic];
        ASSERT_TRUE(mine.empty() || *mine.rbegin() < n)
            << "message " << n << " on connection " << s.connection << " after " << *mine.rbegin();
        // Nothing of a topic overtakes an earlier one of it still unconfirmed: that one went on
        // this connection's wire before it.
        for (int earlier = 0; earlier < n; ++earlier) {
            if (handed[static_cast<size_t>(earlier)].topic == s.message.topic) {
                ASSERT_TRUE(acked.count(earlier) != 0 || mine.count(earlier) != 0)
                    << "message " << n << " on connection " << s.connection << " before "
                    << earlier;
            }
        }
        mine.insert(n);
    }
    for (int n = 0; n < static_cast<int>(handed.size()); ++n) {
        ASSERT_EQ(ackCount[n], 1) << "message " << n;
    }
}

// A broker that never acknowledges: stop() goes within its second all the same, gives back what
// was not confirmed in the order handed over, and leaves without DISCONNECT, so that the broker
// says the will for the "offline" it never confirmed. One that acknowledges at once gets all of
// it, and DISCONNECT.
TEST(MosquittoClientOrder, StopGivesUpWhatABrokerNeverAnswersAndLeavesTheWillToSayOffline) {
    const MqttMessage offline{"terval/st/status", "offline", 1, true};
    for (const bool answering : {false, true}) {
        SCOPED_TRACE(answering ? "answering" : "never answering");
        const auto broker = std::make_shared<FakeBroker>();
        FakeBroker& b = *broker;
        b.ackAtOnce = answering;
        const std::unique_ptr<MosquittoClient> client = clientOver(broker);
        client->start(stationSettings());
        ASSERT_TRUE(settled(b, *client));
        b.push(FakeBroker::Step::Connack, 0);
        ASSERT_TRUE(
            waitUntil([&] { return client->status().state == BrokerState::Connected; }, 5s, 1ms));
        std::vector<MqttMessage> sent;
        for (int i = 0; i < 25; ++i) {
            sent.push_back({"terval/st/link", QByteArray::number(i), i % 3, false});
            ASSERT_TRUE(client->send(sent.back()));
        }
        const std::vector<MqttMessage> left = client->stop(offline);
        EXPECT_EQ(client->status().state, BrokerState::Off);
        std::lock_guard lock(b.mutex);
        EXPECT_EQ(b.violations, std::vector<std::string>{});
        if (answering) {
            EXPECT_TRUE(left.empty());
            EXPECT_EQ(b.disconnects, 1);
            ASSERT_FALSE(b.seen.empty());
            EXPECT_EQ(b.seen.back().message, offline);
            EXPECT_EQ(b.alive, 0);
        } else {
            sent.push_back(offline);
            EXPECT_EQ(left, sent);
            EXPECT_EQ(b.disconnects, 0);
        }
    }
}

// A connection still being made (a name lookup that hangs): stop() lets the network thread go,
// and the thread, once free, ends without touching the client, which is gone by then.
TEST(MosquittoClientOrder, StopLetsGoOfAThreadStuckConnecting) {
    const auto broker = std::make_shared<FakeBroker>();
    FakeBroker& b = *broker;
    b.connectHangs = true;
    std::unique_ptr<MosquittoClient> client = clientOver(broker);
    client->start(stationSettings());
    const MqttMessage waiting{"terval/st/relay/1/event", "1", 1, false};
    ASSERT_TRUE(client->send(waiting));
    ASSERT_TRUE(waitUntil(
        [&] {
            std::lock_guard lock(b.mutex);
            return b.attempts == 1;
        },
        5s, 1ms));
    EXPECT_EQ(client->stop({"terval/st/status", "offline", 1, true}),
              std::vector<MqttMessage>{waiting});
    EXPECT_EQ(client->status().state, BrokerState::Off);
    client.reset();
    {
        std::lock_guard lock(b.mutex);
        EXPECT_EQ(b.alive, 1) << "the stuck thread still holds its library";
        b.connectHangs = false;
        b.changed.notify_all();
    }
    EXPECT_TRUE(waitUntil(
        [&] {
            std::lock_guard lock(b.mutex);
            return b.alive == 0;
        },
        5s, 1ms));
}

// start(), stop() and send() are the owner's: from another thread they are refused, and the
// client goes on as if they had not been made. status() and pending() answer anywhere.
TEST(MosquittoClientOrder, OnlyTheOwnerThreadSendsAndStops) {
    const auto broker = std::make_shared<FakeBroker>();
    const std::unique_ptr<MosquittoClient> client = clientOver(broker);
    client->start(stationSettings());
    std::thread other([&] {
        EXPECT_FALSE(client->send({"terval/st/link", "x", 0, true}));
        EXPECT_TRUE(client->stop({"terval/st/status", "offline", 1, true}).empty());
        client->start(stationSettings());
        EXPECT_EQ(client->pending(), 0);
        EXPECT_EQ(client->status().state, BrokerState::Connecting);
    });
    other.join();
    EXPECT_EQ(client->status().state, BrokerState::Connecting);
    ASSERT_TRUE(client->send({"terval/st/link", "y", 0, true}));
    EXPECT_EQ(client->pending(), 1);
    EXPECT_EQ(client->stop(), (std::vector<MqttMessage>{{"terval/st/link", "y", 0, true}}));
    // Stopped, the client is anyone's to start again.
    std::thread again([&] {
        client->start(stationSettings());
        EXPECT_EQ(client->status().state, BrokerState::Connecting);
        client->stop();
    });
    again.join();
}

}  // namespace
}  // namespace terval
