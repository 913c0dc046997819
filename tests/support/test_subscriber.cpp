#include "support/test_subscriber.h"

#include <mosquitto.h>
#include <unistd.h>

#include <atomic>

#include "support/mosquitto_broker.h"

namespace terval::testing {

using namespace std::chrono_literals;

TestSubscriber::TestSubscriber() {
    static const int initialised = mosquitto_lib_init();
    Q_UNUSED(initialised);
}

TestSubscriber::~TestSubscriber() {
    stop();
}

void TestSubscriber::onConnect(mosquitto* mosq, void* self, int rc) {
    auto* subscriber = static_cast<TestSubscriber*>(self);
    if (rc != 0) {
        std::lock_guard lock(subscriber->mutex_);
        subscriber->errors_ = QString::fromUtf8(mosquitto_connack_string(rc));
        subscriber->changed_.notify_all();
        return;
    }
    // Clean session: the subscription is made again on every connection.
    mosquitto_subscribe(mosq, nullptr, subscriber->filter_.constData(), 2);
}

void TestSubscriber::onSubscribe(mosquitto*, void* self, int, int, const int*) {
    auto* subscriber = static_cast<TestSubscriber*>(self);
    std::lock_guard lock(subscriber->mutex_);
    ++subscriber->subscriptions_;
    subscriber->changed_.notify_all();
}

void TestSubscriber::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* subscriber = static_cast<TestSubscriber*>(self);
    ReceivedMessage received{
        QByteArray(message->topic),
        QByteArray(static_cast<const char*>(message->payload), message->payloadlen), message->qos,
        message->retain};
    std::lock_guard lock(subscriber->mutex_);
    subscriber->messages_.push_back(std::move(received));
    subscriber->changed_.notify_all();
}

bool TestSubscriber::start(const MosquittoBroker& broker, const QByteArray& filter) {
    stop();
    static std::atomic<int> made{0};
    const QByteArray id = "terval-test-subscriber-" + QByteArray::number(::getpid()) + "-" +
                          QByteArray::number(made++);
    {
        std::lock_guard lock(mutex_);
        errors_.clear();
        subscriptions_ = 0;
        filter_ = filter;
    }
    mosq_ = mosquitto_new(id.constData(), true, this);
    if (mosq_ == nullptr) {
        errors_ = QStringLiteral("mosquitto_new failed");
        return false;
    }
    mosquitto_connect_callback_set(mosq_, onConnect);
    mosquitto_subscribe_callback_set(mosq_, onSubscribe);
    mosquitto_message_callback_set(mosq_, onMessage);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    const MosquittoBroker::Options& options = broker.options();
    int rc = MOSQ_ERR_SUCCESS;
    if (!options.user.isEmpty()) {
        rc = mosquitto_username_pw_set(mosq_, options.user.toUtf8().constData(),
                                       options.password.constData());
    }
    if (rc == MOSQ_ERR_SUCCESS && options.tls) {
        rc = mosquitto_tls_set(mosq_, broker.caFile().toLocal8Bit().constData(), nullptr, nullptr,
                               nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        // On loopback: connecting here waits for nothing worth a thread.
        rc = mosquitto_connect(mosq_, broker.host().toUtf8().constData(), broker.port(), 30);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_start(mosq_);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        errors_ = QStringLiteral("subscriber: %1").arg(QString::fromUtf8(mosquitto_strerror(rc)));
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return false;
    }
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 5s, [&] { return subscriptions_ > 0 || !errors_.isEmpty(); }) ||
        subscriptions_ == 0) {
        if (errors_.isEmpty()) {
            errors_ = QStringLiteral("subscriber: no SUBACK from the broker in 5 s");
        }
        return false;
    }
    return true;
}

void TestSubscriber::stop() {
    if (mosq_ == nullptr) {
        return;
    }
    // Connected, the loop ends once DISCONNECT is out; not connected, it is cut short.
    const bool connected = mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS;
    mosquitto_loop_stop(mosq_, !connected);
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
}

std::vector<ReceivedMessage> TestSubscriber::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<ReceivedMessage> TestSubscriber::messages(const QByteArray& topic) const {
    std::vector<ReceivedMessage> on;
    std::lock_guard lock(mutex_);
    for (const ReceivedMessage& message : messages_) {
        if (message.topic == topic) {
            on.push_back(message);
        }
    }
    return on;
}

std::vector<QByteArray> TestSubscriber::payloads(const QByteArray& topic) const {
    std::vector<QByteArray> on;
    for (const ReceivedMessage& message : messages(topic)) {
        on.push_back(message.payload);
    }
    return on;
}

void TestSubscriber::clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

bool TestSubscriber::waitFor(
    const std::function<bool(const std::vector<ReceivedMessage>&)>& condition,
    std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(messages_); });
}

bool TestSubscriber::waitFor(const QByteArray& topic, const QByteArray& payload,
                             std::chrono::milliseconds timeout) const {
    return waitFor(
        [&](const std::vector<ReceivedMessage>& messages) {
            for (const ReceivedMessage& message : messages) {
                if (message.topic == topic && message.payload == payload) {
                    return true;
                }
            }
            return false;
        },
        timeout);
}

QString TestSubscriber::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

}  // namespace terval::testing
