// The plant program's subscriber against a real broker that keeps nothing across a restart: what
// it holds back while its taker is slow, the order it hands over, and a subscription made again
// on a broker that has forgotten it.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryFile>

#include "plantnet/plant_subscriber.h"
#include "support/mosquitto_broker.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using testing::MosquittoBroker;
using testing::waitUntil;

bool publishLines(const MosquittoBroker& broker, const QByteArray& topic, int from, int count) {
    QTemporaryFile lines;
    if (!lines.open()) {
        return false;
    }
    for (int i = from; i < from + count; ++i) {
        lines.write(QByteArray::number(i) + "\n");
    }
    lines.flush();
    QProcess pub;
    pub.setStandardInputFile(lines.fileName());
    pub.start(QStringLiteral("mosquitto_pub"),
              {QStringLiteral("-h"), broker.host(), QStringLiteral("-p"),
               QString::number(broker.port()), QStringLiteral("-q"), QStringLiteral("1"),
               QStringLiteral("-t"), QString::fromUtf8(topic), QStringLiteral("-l")});
    return pub.waitForFinished(30000) && pub.exitCode() == 0;
}

TEST(PlantSubscriber, HoldsBackWhileItsTakerIsSlowHandsOverInOrderAndSubscribesAgain) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    MqttSettings settings = broker.clientSettings();
    settings.clientId = QStringLiteral("terval-plant-test");
    settings.station.clear();

    constexpr int kCapacity = 10;
    PlantSubscriber subscriber(kCapacity, PlantSubscriberTiming{200ms, 1000ms});
    int wakes = 0;
    QString error;
    ASSERT_TRUE(subscriber.start(
        settings, [&] { ++wakes; }, &error))
        << error.toStdString();
    EXPECT_EQ(subscriber.subscription(), QByteArray("terval/+/#"));
    const auto pumped = [](const std::function<bool()>& condition) {
        return [condition] {
            QCoreApplication::processEvents();
            return condition();
        };
    };
    ASSERT_TRUE(waitUntil(pumped([&] { return subscriber.connected(); }), 10s))
        << broker.log().toStdString();

    std::vector<PlantDelivery> got = subscriber.take(100);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, PlantDelivery::Kind::BrokerChanged);
    EXPECT_TRUE(got[0].connected);

    // Nobody takes: the queue fills to its capacity and no further (a reader that went on reading
    // would run past it between two looks), the rest waits in the broker.
    constexpr int kCount = 300;
    ASSERT_TRUE(publishLines(broker, "terval/st1/relay/1/state", 0, kCount));
    ASSERT_TRUE(waitUntil(pumped([&] { return subscriber.waiting() == kCapacity; }), 10s));
    EXPECT_GT(wakes, 0);
    // Taken a few at a time: every one, once, in the order published.
    std::vector<QByteArray> payloads;
    ASSERT_TRUE(waitUntil(pumped([&] {
                              for (PlantDelivery& d : subscriber.take(7)) {
                                  EXPECT_EQ(d.kind, PlantDelivery::Kind::Message);
                                  EXPECT_EQ(d.message.topic, "terval/st1/relay/1/state");
                                  EXPECT_TRUE(d.message.receivedAt.isValid());
                                  payloads.push_back(d.message.payload);
                              }
                              return payloads.size() >= size_t(kCount);
                          }),
                          30s, 1ms));
    ASSERT_EQ(payloads.size(), size_t(kCount));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(payloads[size_t(i)], QByteArray::number(i)) << "at " << i;
    }

    // The broker restarts without its sessions: the loss and the return are told, in that order,
    // and the subscription is made again, so that what comes next arrives.
    broker.stop();
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    ASSERT_TRUE(waitUntil(pumped([&] { return subscriber.connected(); }), 10s));
    ASSERT_TRUE(publishLines(broker, "terval/st2/link", 1000, 1));
    std::vector<PlantDelivery> after;
    ASSERT_TRUE(waitUntil(pumped([&] {
                              for (PlantDelivery& d : subscriber.take(100)) {
                                  after.push_back(std::move(d));
                              }
                              return !after.empty() &&
                                     after.back().kind == PlantDelivery::Kind::Message;
                          }),
                          10s));
    ASSERT_GE(after.size(), 3u);
    EXPECT_EQ(after[0].kind, PlantDelivery::Kind::BrokerChanged);
    EXPECT_FALSE(after[0].connected);
    EXPECT_TRUE(after[0].reason.startsWith(QStringLiteral("нет связи с брокером: ")))
        << after[0].reason.toStdString();
    EXPECT_EQ(after[after.size() - 2].kind, PlantDelivery::Kind::BrokerChanged);
    EXPECT_TRUE(after[after.size() - 2].connected);
    EXPECT_EQ(after.back().message.topic, "terval/st2/link");
    EXPECT_EQ(after.back().message.payload, "1000");

    // Stopped: within a second, and nothing is handed over any more.
    subscriber.stop();
    EXPECT_FALSE(subscriber.connected());
}

}  // namespace
}  // namespace terval
