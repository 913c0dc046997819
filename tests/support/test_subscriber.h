#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace terval::testing {

class MosquittoBroker;

struct ReceivedMessage {
    QByteArray topic;
    QByteArray payload;
    int qos = 0;
    // Set on a retained message the broker held when the subscription was made; a message
    // published while subscribed comes without it, retained or not (MQTT 3.1.1).
    bool retained = false;
};

// What a plant system subscribed to the broker sees: every message on a topic filter, kept in the
// order it came (a libmosquitto client on its own thread, subscribed at QoS 2, so that each
// message comes with the QoS it was published with).
//
//     TestSubscriber plant;
//     ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors();
//     EXPECT_TRUE(plant.waitFor("terval/st1/status", "online", 5s));
//
// It reconnects by itself when the broker comes back, but what is published before it has
// subscribed again is lost to it: after restarting the broker, call start() again, which returns
// once subscribed.
class TestSubscriber {
  public:
    TestSubscriber();
    ~TestSubscriber();
    TestSubscriber(const TestSubscriber&) = delete;
    TestSubscriber& operator=(const TestSubscriber&) = delete;

    // Connects to the broker (with the user, password and CA its options give) and subscribes to
    // `filter`, waiting up to 5 s for the broker to confirm it; false otherwise (errors()). On a
    // started subscriber: connects anew. The messages so far are kept.
    bool start(const MosquittoBroker& broker, const QByteArray& filter);
    void stop();

    std::vector<ReceivedMessage> messages() const;
    std::vector<ReceivedMessage> messages(const QByteArray& topic) const;
    // The payloads on `topic`, in order.
    std::vector<QByteArray> payloads(const QByteArray& topic) const;
    void clear();

    // Until `condition` holds for the messages so far, or `timeout` has passed; whether it held.
    bool waitFor(const std::function<bool(const std::vector<ReceivedMessage>&)>& condition,
                 std::chrono::milliseconds timeout) const;
    // Until a message with this payload has come on `topic`.
    bool waitFor(const QByteArray& topic, const QByteArray& payload,
                 std::chrono::milliseconds timeout) const;

    QString errors() const;

  private:
    static void onConnect(mosquitto* mosq, void* self, int rc);
    static void onSubscribe(mosquitto* mosq, void* self, int mid, int count, const int* granted);
    static void onMessage(mosquitto* mosq, void* self, const mosquitto_message* message);

    mosquitto* mosq_ = nullptr;
    QByteArray filter_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<ReceivedMessage> messages_;
    int subscriptions_ = 0;
    QString errors_;
};

}  // namespace terval::testing
