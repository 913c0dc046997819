#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "plant/mqtt_settings.h"

namespace terval {

// Where the station's connection to the plant's broker stands, as the network thread last saw it.
enum class BrokerState {
    Off,         // not started, or stopped
    Connecting,  // the first attempt is under way
    Connected,
    Lost,        // could not connect, or the connection went: attempts go on by themselves
};

struct BrokerStatus {
    BrokerState state = BrokerState::Off;
    // Why the last attempt failed or the connection went, in the operator's words; empty otherwise.
    QString reason;
    // How many times the client has connected since start: a reconnect that happened between two
    // looks is seen by this number changing, even if the state reads Connected both times.
    uint64_t connections = 0;
};

struct MqttMessage {
    QByteArray topic;
    QByteArray payload;
    int qos = 0;
    bool retain = false;
    bool operator==(const MqttMessage&) const = default;
};

// A publishing connection to an MQTT broker. Every network operation happens on the client's own
// threads; the calls below only hand over or read state under a lock, so the UI thread and the poll
// tick never wait on the network. The station subscribes to nothing.
class MqttClient {
  public:
    virtual ~MqttClient() = default;

    // Starts connecting with the settings' will (`<prefix>/<station>/status`, "offline", QoS 1,
    // retained); returns at once. On every connection the client says "online" there (QoS 1,
    // retained) before anything handed over or still unacknowledged goes out. Connection
    // failures show in status(), and the client keeps trying.
    virtual void start(const MqttSettings& settings) = 0;
    // Publishes `last` if it is not empty and the broker is connected (waiting a little for it to
    // go out), then disconnects cleanly and stops the threads. Safe to call twice.
    virtual void stop(const MqttMessage& last = {}) = 0;

    virtual BrokerStatus status() const = 0;

    // Hands a message to the network thread. False when the hand-over is full (`capacity()`
    // messages not yet given to the broker's socket): the caller keeps it and tries later.
    // Messages handed over while the connection is down wait in the hand-over and go out, in
    // order, once it is back.
    virtual bool send(const MqttMessage& message) = 0;
    // Messages handed over and not yet given to the network library, which holds a few more (at
    // most 20 for MosquittoClient) until they are written (QoS 0) or acknowledged (QoS 1, 2).
    virtual int pending() const = 0;
    virtual int capacity() const = 0;
};

}  // namespace terval
