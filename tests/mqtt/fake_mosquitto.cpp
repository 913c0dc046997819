#include "mqtt/fake_mosquitto.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace terval::testing {
namespace {

bool isOnline(const MqttMessage& m) {
    return m.topic.endsWith("/status") && m.payload == "online";
}

// The connection went: QoS 0 messages not yet written go with it.
void forgetUnwritten(FakeBroker& b) {
    std::erase_if(b.held, [](const FakeBroker::Held& h) { return h.message.qos == 0; });
}

}  // namespace

int FakeBroker::stationHeld() const {
    return static_cast<int>(std::count_if(held.begin(), held.end(),
                                          [](const Held& h) { return !isOnline(h.message); }));
}

void FakeBroker::violate(const std::string& what) {
    if (violations.size() < 5) {
        violations.push_back(what);
    }
}

void FakeBroker::push(Step step, int value) {
    std::lock_guard lock(mutex);
    script.push_back({step, value});
    changed.notify_all();
}

FakeMosquitto::FakeMosquitto(std::shared_ptr<FakeBroker> broker) : broker_(std::move(broker)) {
    std::lock_guard lock(broker_->mutex);
    ++broker_->alive;
}

FakeMosquitto::~FakeMosquitto() {
    std::lock_guard lock(broker_->mutex);
    --broker_->alive;
    broker_->changed.notify_all();
}

int FakeMosquitto::create(const QByteArray&, int sendMaximum, Callbacks& callbacks) {
    callbacks_ = &callbacks;
    sendMaximum_ = sendMaximum;
    return MOSQ_ERR_SUCCESS;
}

int FakeMosquitto::setWill(const QByteArray&, const QByteArray&, int, bool) {
    return MOSQ_ERR_SUCCESS;
}

int FakeMosquitto::setUser(const QByteArray&, const QByteArray&) {
    return MOSQ_ERR_SUCCESS;
}

int FakeMosquitto::setTls(const QByteArray&) {
    return MOSQ_ERR_SUCCESS;
}

int FakeMosquitto::connectAsync(const QByteArray&, int, int) {
    return attempt();
}

int FakeMosquitto::reconnectAsync() {
    return attempt();
}

int FakeMosquitto::attempt() {
    FakeBroker& b = *broker_;
    std::unique_lock lock(b.mutex);
    ++b.attempts;
    b.changed.notify_all();
    b.changed.wait(lock, [&] { return !b.connectHangs; });
    if (b.net != FakeBroker::Net::None) {
        b.violate("an attempt to connect while connected or connecting");
    }
    b.net = FakeBroker::Net::Connecting;
    b.changed.notify_all();
    return MOSQ_ERR_SUCCESS;
}

void FakeMosquitto::onWire(const MqttMessage& message) {
    FakeBroker& b = *broker_;
    b.seen.push_back({false, b.connections, message});
    // The client's own limit, and libmosquitto's in-flight limit it sets.
    constexpr int kMostInFlight = 20;
    if (b.stationHeld() > kMostInFlight || sendMaximum_ != kMostInFlight) {
        b.violate("more than 20 messages in flight, or a limit of " + std::to_string(sendMaximum_));
    }
}

int FakeMosquitto::loop(int timeoutMs) {
    FakeBroker& b = *broker_;
    std::unique_lock lock(b.mutex);
    if (b.closing) {
        // DISCONNECT written; libmosquitto closes the socket and says so.
        b.closing = false;
        b.net = FakeBroker::Net::None;
        forgetUnwritten(b);
        b.changed.notify_all();
        lock.unlock();
        callbacks_->disconnected(MOSQ_ERR_SUCCESS);
        return MOSQ_ERR_NO_CONN;
    }
    if (b.net == FakeBroker::Net::None) {
        return MOSQ_ERR_NO_CONN;
    }
    b.looping = true;
    b.changed.notify_all();
    b.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return !b.script.empty() || b.closing; });
    b.looping = false;
    if (b.script.empty()) {
        return MOSQ_ERR_SUCCESS;
    }
    const FakeBroker::Scripted next = b.script.front();
    b.script.pop_front();
    b.changed.notify_all();
    switch (next.step) {
        case FakeBroker::Step::Connack:
            if (b.net != FakeBroker::Net::Connecting) {
                b.violate("CONNACK without an attempt");
                return MOSQ_ERR_SUCCESS;
            }
            if (next.value != 0) {
                b.net = FakeBroker::Net::None;
                forgetUnwritten(b);
                lock.unlock();
                callbacks_->connected(next.value);
                callbacks_->disconnected(MOSQ_ERR_CONN_REFUSED);
                return MOSQ_ERR_CONN_REFUSED;
            }
            {
                b.net = FakeBroker::Net::Connected;
                ++b.connections;
                const size_t before = b.held.size();
                lock.unlock();
                callbacks_->connected(0);
                lock.lock();
                // What libmosquitto held from before goes again once the callback has returned,
                // after what the callback published.
                for (size_t i = 0; i < before && i < b.held.size(); ++i) {
                    onWire(b.held[i].message);
                }
                return MOSQ_ERR_SUCCESS;
            }
        case FakeBroker::Step::Ack: {
            const auto it = std::find_if(b.held.begin(), b.held.end(),
                                         [&](const auto& h) { return h.mid == next.value; });
            if (it == b.held.end() || b.net != FakeBroker::Net::Connected) {
                b.violate("the test acknowledged a message not in flight");
                return MOSQ_ERR_SUCCESS;
            }
            b.seen.push_back({true, b.connections, it->message});
            b.held.erase(it);
            lock.unlock();
            callbacks_->published(next.value);
            return MOSQ_ERR_SUCCESS;
        }
        case FakeBroker::Step::Drop:
            b.net = FakeBroker::Net::None;
            forgetUnwritten(b);
            lock.unlock();
            errno = ECONNRESET;
            callbacks_->disconnected(MOSQ_ERR_CONN_LOST);
            return MOSQ_ERR_CONN_LOST;
    }
    return MOSQ_ERR_SUCCESS;
}

int FakeMosquitto::publish(int* mid, const QByteArray& topic, const QByteArray& payload, int qos,
                           bool retain) {
    FakeBroker& b = *broker_;
    std::unique_lock lock(b.mutex);
    const MqttMessage message{topic, payload, qos, retain};
    if (b.net != FakeBroker::Net::Connected && qos == 0) {
        return MOSQ_ERR_NO_CONN;
    }
    const int id = b.nextMid++;
    if (mid != nullptr) {
        *mid = id;
    }
    b.held.push_back({id, message});
    if (b.net != FakeBroker::Net::Connected) {
        // Kept, and sent once connected.
        return MOSQ_ERR_SUCCESS;
    }
    onWire(message);
    if (b.ackAtOnce && !isOnline(message)) {
        b.held.pop_back();
        b.seen.push_back({true, b.connections, message});
        lock.unlock();
        callbacks_->published(id);
    }
    return MOSQ_ERR_SUCCESS;
}

int FakeMosquitto::disconnect() {
    FakeBroker& b = *broker_;
    std::lock_guard lock(b.mutex);
    ++b.disconnects;
    if (b.net != FakeBroker::Net::Connected) {
        return MOSQ_ERR_NO_CONN;
    }
    b.closing = true;
    b.changed.notify_all();
    return MOSQ_ERR_SUCCESS;
}

}  // namespace terval::testing
