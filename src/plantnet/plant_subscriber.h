#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "historian/plant_message.h"
#include "plant/mqtt_settings.h"

class QSocketNotifier;

namespace terval {

// What the subscriber hands over, in the order it happened: a message, or its own connection to
// the broker lost or back.
struct PlantDelivery {
    enum class Kind { Message, BrokerChanged };
    Kind kind = Kind::Message;
    PlantMessage message;
    bool connected = false;
    QString reason;  // why it was lost, in the operator's words
};

// The pauses between attempts to connect: the first, doubled after each failure up to the longest.
struct PlantSubscriberTiming {
    std::chrono::milliseconds firstPause{1000};
    std::chrono::milliseconds longestPause{30000};
};

// The plant program's side of the broker: every station under a prefix (<prefix>/+/#), QoS 1, in
// a persistent session named by the fixed client id, so that the broker keeps what arrives while
// the program is down or cut off and gives it on the next connection. libmosquitto runs on a
// network thread of ours that starts every attempt (1 s, doubled up to 30 s) and subscribes again
// on every connection (a restarted broker without persistence forgets subscriptions).
//
// Nothing of Qt is called from the network thread: what arrives waits in a bounded queue, the
// owner's event loop is woken through an eventfd and takes it with take(). While the queue is full
// the network thread stops reading, so that the broker holds the rest (TCP pushes back) rather than
// our memory.
class PlantSubscriber final : public QObject {
  public:
    using Timing = PlantSubscriberTiming;

    explicit PlantSubscriber(int capacity = 20000, Timing timing = {}, QObject* parent = nullptr);
    ~PlantSubscriber() override;
    PlantSubscriber(const PlantSubscriber&) = delete;
    PlantSubscriber& operator=(const PlantSubscriber&) = delete;

    // Starts the network thread; returns at once. `ready` is called on the owner's thread when
    // something waits to be taken. False, with `error`, when libmosquitto refuses the settings.
    bool start(const MqttSettings& settings, std::function<void()> ready, QString* error);
    // Within about a second. What was received and not yet taken stays to be taken: the broker
    // has had its acknowledgement and will not give it again.
    void stop();

    // Up to `most` of what waits, oldest first.
    std::vector<PlantDelivery> take(int most);
    int waiting() const;
    bool connected() const;
    // "<prefix>/+/#"
    QByteArray subscription() const;

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> ready_;
    int wakeFd_ = -1;
    const int capacity_;
    const Timing timing_;
};

}  // namespace terval
