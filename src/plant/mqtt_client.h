#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

#include "plant/mqtt_settings.h"

namespace terval {

// Where the station's connection to the plant's broker stands, as the network thread last saw it.
enum class BrokerState {
    Off,         // not started, or stopped
    Connecting,  // the first attempt is under way
    Connected,
    Lost,  // could not connect, or the connection went: attempts go on by themselves
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
    // The sender's own mark, handed back by acknowledged() once the broker has confirmed the
    // message (QoS 1, 2); 0 for a message whose confirmation nobody waits for.
    uint64_t tag = 0;
    bool operator==(const MqttMessage&) const = default;
};

// A publishing connection to an MQTT broker. Every network operation happens on the client's own
// threads; the calls below only hand over or read state under a lock, so the UI thread and the poll
// tick never wait on the network. The station subscribes to nothing.
//
// Threads: the thread that calls start() owns the client until stop() has returned: start(),
// stop() and send() are for it alone, since the order of what is handed over and the end of the
// client's threads are its to decide. A call of these from another thread is refused (nothing
// happens, send() says false) and logged. status(), pending() and capacity() may be asked from any
// thread. The client's own threads never call back into the caller.
class MqttClient {
  public:
    virtual ~MqttClient() = default;

    // Owner thread (it becomes the owner). Starts connecting with the settings' will
    // (`<prefix>/<station>/status`, "offline", QoS 1, retained); returns at once. On every
    // connection the client says "online" there (QoS 1, retained) before anything handed over or
    // still unacknowledged goes out. Connection failures show in status(), and the client keeps
    // trying.
    virtual void start(const MqttSettings& settings) = 0;
    // Owner thread. Hands `last` over if it is not empty and the broker is connected, gives what
    // is handed over a little time to be acknowledged, disconnects and stops the threads; returns
    // within a second whatever the broker and the network do. Returns, in the order handed over,
    // the messages (`last` among them) that the broker had not acknowledged (QoS 1, 2) or that
    // were not written (QoS 0) by then: they are given up. When `last` is among them the client
    // leaves without a DISCONNECT, so that the broker says the will in its place. Safe to call
    // twice; the second returns nothing.
    virtual std::vector<MqttMessage> stop(const MqttMessage& last = {}) = 0;

    // Any thread.
    virtual BrokerStatus status() const = 0;

    // Owner thread. Hands a message to the network thread. False when the hand-over is full
    // (`capacity()` messages not yet given to the broker's socket): the caller keeps it and tries
    // later. Messages handed over while the connection is down wait in the hand-over and go out,
    // in order, once it is back.
    virtual bool send(const MqttMessage& message) = 0;
    // Any thread. Messages handed over and not yet given to the network library, which holds a
    // few more (at most 20 for MosquittoClient) until they are written (QoS 0) or acknowledged
    // (QoS 1, 2).
    virtual int pending() const = 0;
    // Any thread.
    virtual int capacity() const = 0;
    // Owner thread. The tags of the tagged QoS 1 and 2 messages the broker has acknowledged since
    // the last call, in the order the acknowledgements came. A message sent again after a
    // reconnect may be told twice; one given up by stop() is never told.
    virtual std::vector<uint64_t> acknowledged() = 0;
};

}  // namespace terval
