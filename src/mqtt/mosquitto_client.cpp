#include "mqtt/mosquitto_client.h"

#include <mosquitto.h>

#include "mqtt/mosquitto_api.h"

#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// Why our own network thread and not mosquitto_loop_start(): libmosquitto 2.0.11's thread gives up
// for good when the first attempt fails (broker not up yet, name not resolved: it never tries
// again) and after any TLS failure, without a callback; it also resolves the name on the caller's
// thread. Ours runs mosquitto_loop() and starts every attempt itself, with a pause that doubles up
// to half a minute and that stop() cuts short.

namespace terval {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Messages given to libmosquitto and not yet acknowledged (QoS 1, 2) or written (QoS 0): what
// libmosquitto holds beyond our hand-over; also its in-flight limit.
constexpr int kMaxGiven = 20;
constexpr int kKeepaliveSeconds = 30;
// How long mosquitto_loop() waits for the socket; a publish wakes it at once. Also how long the
// network thread may take to see that stop() wants it to end.
constexpr int kLoopMilliseconds = 100;
// stop(), counted from its call, within the second it promises: until then what is handed over
// (and `last`) may be acknowledged; until then DISCONNECT may be written; until then the threads
// are waited for, and let go after it (a name lookup cannot be cut short).
constexpr auto kDrainBy = 600ms;
constexpr auto kDisconnectBy = 800ms;
constexpr auto kThreadsBy = 950ms;

// mosquitto answers a wrong password, and a missing one where it wants one, with 5 rather than 4.
QString refusalText(int connack, bool withUser) {
    switch (connack) {
        case 1:
            return QStringLiteral("брокер отказал: версия протокола MQTT не поддерживается");
        case 2:
            return QStringLiteral("брокер отказал: имя клиента не принято");
        case 3:
            return QStringLiteral("брокер отказал: служба недоступна");
        case 4:
            return QStringLiteral("брокер отказал: неверное имя пользователя или пароль");
        case 5:
            return withUser ? QStringLiteral(
                                  "брокер отказал: нет права на подключение (неверное "
                                  "имя пользователя или пароль?)")
                            : QStringLiteral(
                                  "брокер отказал: нет права на подключение (брокеру "
                                  "нужны имя пользователя и пароль?)");
        default:
            return QStringLiteral("брокер отказал (код %1)").arg(connack);
    }
}

QString errnoText(int error) {
    switch (error) {
        case ECONNREFUSED:
            return QStringLiteral("соединение отвергнуто (брокер не запущен?)");
        case ETIMEDOUT:
            return QStringLiteral("время ожидания истекло");
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return QStringLiteral("узел недоступен");
        case ENETUNREACH:
        case ENETDOWN:
            return QStringLiteral("сеть недоступна");
        case ECONNRESET:
        case ECONNABORTED:
            return QStringLiteral("соединение сброшено");
        case EPIPE:
            return QStringLiteral("соединение оборвалось");
        default:
            return QString::fromLocal8Bit(std::strerror(error));
    }
}

// libmosquitto logs OpenSSL's complaint ("OpenSSL Error[0]: error:0A000086:SSL
// routines::certificate verify failed") and returns only "TLS error".
QString tlsText(const QByteArray& logged) {
    QByteArray detail = logged;
    const qsizetype colons = detail.lastIndexOf("::");
    if (colons >= 0) {
        detail = detail.mid(colons + 2);
    } else if (detail.startsWith("Error: ")) {
        detail = detail.mid(7);
    }
    detail = detail.trimmed();
    QString text;
    if (detail.contains("certificate verify failed")) {
        text = QStringLiteral("сертификат брокера не прошёл проверку");
    } else if (detail.contains("wrong version number") ||
               detail.contains("packet length too long")) {
        text = QStringLiteral("брокер на этом порту не ведёт TLS");
    } else if (detail.contains("Unable to load CA certificates")) {
        text = QStringLiteral("сертификат ЦС не загружается");
    } else {
        text = QStringLiteral("ошибка TLS");
    }
    if (!detail.isEmpty()) {
        text += QStringLiteral(" (%1)").arg(QString::fromUtf8(detail));
    }
    return text;
}

// Why an attempt failed or a connection went, from libmosquitto's code, errno as it was then,
// and the last error libmosquitto logged in the attempt.
QString failureText(int rc, int error, const QByteArray& logged, const QString& host) {
    QString why;
    switch (rc) {
        case MOSQ_ERR_CONN_LOST:
        case MOSQ_ERR_NO_CONN:
            why = QStringLiteral("соединение оборвалось");
            break;
        case MOSQ_ERR_KEEPALIVE:
            why = QStringLiteral("брокер перестал отвечать");
            break;
        case MOSQ_ERR_EAI:
            why = QStringLiteral("имя узла «%1» не найдено").arg(host);
            break;
        case MOSQ_ERR_TLS:
            why = tlsText(logged);
            break;
        case MOSQ_ERR_ERRNO:
            why =
                error == EPROTO && logged.contains("OpenSSL") ? tlsText(logged) : errnoText(error);
            break;
        case MOSQ_ERR_PROTOCOL:
        case MOSQ_ERR_MALFORMED_PACKET:
            why = QStringLiteral("ответ не по протоколу MQTT");
            break;
        default:
            why = QString::fromUtf8(mosquitto_strerror(rc));
            break;
    }
    return QStringLiteral("нет связи с брокером: ") + why;
}

struct Entry {
    uint64_t order = 0;  // in the order handed over; a message taken back goes in its place
    MqttMessage message;
};

// What the client's threads and its callers share; the threads hold it, so that a thread let go
// by stop() still has it. The library client goes with the last of the threads, so that a
// connection left without a DISCONNECT closes at once and the broker says the will.
struct Shared final : MosquittoApi::Callbacks {
    Shared(int capacity, std::unique_ptr<MosquittoApi> api, MosquittoClient::Timing timing)
        : capacity(capacity), timing(timing), api(std::move(api)) {}
    ~Shared() override { api.reset(); }

    const int capacity;
    const MosquittoClient::Timing timing;
    MqttSettings settings;
    // Made and set up (apart from TLS) by start() before the threads; released by the last of
    // them to end.
    std::unique_ptr<MosquittoApi> api;

    // Everything below under `mutex`, which is never held while libmosquitto is called: its
    // callbacks take it from inside libmosquitto's own locks.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Entry> queue;  // handed over, not yet given to libmosquitto
    uint64_t nextOrder = 0;
    std::map<int, Entry> given;   // by message id: given, not yet written (QoS 0) or acknowledged
    std::optional<Entry> inHand;  // taken from the queue and being given at this moment
    std::vector<int> doneEarly;   // acknowledged before mosquitto_publish() returned its id
    std::vector<uint64_t> acknowledgedTags;  // not yet collected by acknowledged()
    uint64_t losses = 0;  // connections gone, to tell one gone while a message was given
    BrokerStatus status;
    // The connection is made and libmosquitto has sent again what it held from the last one
    // (it does so after the connect callback, in the same loop): the hand-over may give.
    bool mayGive = false;
    bool accepting = true;  // send() takes messages; false from stop() on
    bool quitting = false;
    // Set with `quitting`: whether to say DISCONNECT (nothing is left unconfirmed), and until when.
    bool disconnectCleanly = false;
    Clock::time_point disconnectBy;
    bool networkDone = false;
    bool workerDone = false;
    // The current attempt: whether a callback has said how it ended, whether it connected, and
    // the last error libmosquitto logged in it.
    bool explained = false;
    bool connectedInAttempt = false;
    QByteArray loggedError;

    bool canGive() const {
        return mayGive && status.state == BrokerState::Connected && !queue.empty() && !inHand &&
               static_cast<int>(given.size()) < kMaxGiven;
    }
    bool drained() const { return queue.empty() && given.empty() && !inHand; }

    void takeBack(Entry entry) {
        const auto place = std::upper_bound(
            queue.begin(), queue.end(), entry.order,
            [](uint64_t order, const Entry& queued) { return order < queued.order; });
        queue.insert(place, std::move(entry));
    }

    // The connection went: QoS 0 messages libmosquitto had not written yet are gone with it, so
    // they go back to the hand-over in their places. QoS 1 and 2 stay given: libmosquitto sends
    // them again after reconnecting.
    void takeBackUnwritten() {
        for (auto it = given.begin(); it != given.end();) {
            if (it->second.message.qos == 0) {
                takeBack(std::move(it->second));
                it = given.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Everything handed over and not yet confirmed, in the order handed over.
    std::vector<MqttMessage> unconfirmed() const {
        std::vector<const Entry*> all;
        for (const Entry& e : queue) {
            all.push_back(&e);
        }
        for (const auto& [mid, e] : given) {
            all.push_back(&e);
        }
        if (inHand) {
            all.push_back(&*inHand);
        }
        std::sort(all.begin(), all.end(),
                  [](const Entry* a, const Entry* b) { return a->order < b->order; });
        std::vector<MqttMessage> out;
        out.reserve(all.size());
        for (const Entry* e : all) {
            out.push_back(e->message);
        }
        return out;
    }

    void lose(const QString& reason) {
        mayGive = false;
        status.state = BrokerState::Lost;
        status.reason = reason;
        explained = true;
    }

    // A thread of ours ends; the last one lets the library client go, outside the lock.
    void threadDone(std::unique_lock<std::mutex>& lock, bool& done) {
        done = true;
        std::unique_ptr<MosquittoApi> last;
        if (networkDone && workerDone) {
            last = std::move(api);
        }
        changed.notify_all();
        lock.unlock();
        last.reset();
    }

    void connected(int rc) override {
        if (rc == 0) {
            // Said here, inside the connection's acknowledgement: libmosquitto sends what it
            // holds unacknowledged from the last connection only after this callback returns,
            // and the hand-over thread gives nothing before the loop that called it has returned
            // (mayGive), so "online" is the first message of every connection, and what was
            // held goes before anything new.
            const QByteArray topic = settings.topicRoot() + "status";
            const int published = api->publish(nullptr, topic, "online", 1, true);
            if (published != MOSQ_ERR_SUCCESS) {
                qWarning("mqtt: online was not published to %s: %s", topic.constData(),
                         mosquitto_strerror(published));
            }
        }
        std::lock_guard lock(mutex);
        if (rc == 0) {
            status.state = BrokerState::Connected;
            status.reason.clear();
            ++status.connections;
            connectedInAttempt = true;
        } else {
            lose(refusalText(rc, !settings.user.isEmpty()));
        }
        changed.notify_all();
    }

    void disconnected(int rc) override {
        const int error = errno;
        std::lock_guard lock(mutex);
        mayGive = false;
        ++losses;
        takeBackUnwritten();
        // 0 is our own DISCONNECT; a refusal has been told by connected() already.
        if (rc != MOSQ_ERR_SUCCESS && !explained) {
            lose(failureText(rc, error, loggedError, settings.host));
        }
        changed.notify_all();
    }

    // A QoS 1 or 2 message of the owner's has reached the broker for good.
    void confirmed(const MqttMessage& message) {
        if (message.tag != 0 && message.qos > 0) {
            acknowledgedTags.push_back(message.tag);
        }
    }

    void published(int mid) override {
        std::lock_guard lock(mutex);
        if (const auto it = given.find(mid); it != given.end()) {
            confirmed(it->second.message);
            given.erase(it);
        } else if (inHand) {
            doneEarly.push_back(mid);
        }
        changed.notify_all();
    }

    void logged(int level, const char* text) override {
        if (level != MOSQ_LOG_ERR || text == nullptr) {
            return;
        }
        std::lock_guard lock(mutex);
        loggedError = QByteArray(text);
    }
};

void runNetwork(const std::shared_ptr<Shared>& s) {
    const QByteArray host = s->settings.host.toUtf8();
    const QByteArray caFile = s->settings.caFile.toLocal8Bit();
    MosquittoApi& api = *s->api;
    bool tlsReady = !s->settings.tls();
    bool first = true;
    auto pause = Clock::duration(s->timing.firstPause);
    std::unique_lock lock(s->mutex);
    while (!s->quitting) {
        s->explained = false;
        s->connectedInAttempt = false;
        s->mayGive = false;
        s->loggedError.clear();
        lock.unlock();

        int rc = MOSQ_ERR_SUCCESS;
        int error = 0;
        if (!tlsReady) {
            // Checked before every attempt: the file may come back.
            rc = api.setTls(caFile);
            tlsReady = rc == MOSQ_ERR_SUCCESS;
            if (!tlsReady) {
                lock.lock();
                s->lose(
                    QStringLiteral("файл сертификата ЦС %1 не читается").arg(s->settings.caFile));
                lock.unlock();
            }
        }
        if (tlsReady) {
            rc = first ? api.connectAsync(host, s->settings.port, kKeepaliveSeconds)
                       : api.reconnectAsync();
            error = errno;
            first = false;
        }
        if (tlsReady && rc == MOSQ_ERR_SUCCESS) {
            bool disconnecting = false;
            for (;;) {
                rc = api.loop(kLoopMilliseconds);
                error = errno;
                lock.lock();
                if (rc == MOSQ_ERR_SUCCESS && !s->mayGive && s->connectedInAttempt &&
                    s->status.state == BrokerState::Connected) {
                    s->mayGive = true;
                    s->changed.notify_all();
                }
                const bool quitting = s->quitting;
                const bool cleanly = s->disconnectCleanly;
                const Clock::time_point by = s->disconnectBy;
                lock.unlock();
                if (quitting && !disconnecting) {
                    // Left unconfirmed, `last` is the will's to say: no DISCONNECT then.
                    disconnecting = true;
                    if (!cleanly || api.disconnect() != MOSQ_ERR_SUCCESS) {
                        break;
                    }
                } else if (disconnecting && Clock::now() >= by) {
                    break;
                }
                if (rc != MOSQ_ERR_SUCCESS) {
                    break;
                }
            }
        }

        lock.lock();
        if (s->quitting) {
            break;
        }
        s->takeBackUnwritten();
        if (!s->explained) {
            s->lose(failureText(rc, error, s->loggedError, s->settings.host));
        }
        if (s->connectedInAttempt) {
            pause = s->timing.firstPause;
        }
        s->changed.notify_all();
        s->changed.wait_for(lock, pause, [&] { return s->quitting; });
        pause = std::min<Clock::duration>(pause * 2, s->timing.longestPause);
    }
    s->threadDone(lock, s->networkDone);
}

void runWorker(const std::shared_ptr<Shared>& s) {
    MosquittoApi& api = *s->api;
    std::unique_lock lock(s->mutex);
    for (;;) {
        s->changed.wait(lock, [&] { return s->quitting || s->canGive(); });
        if (s->quitting) {
            break;
        }
        s->inHand = std::move(s->queue.front());
        s->queue.pop_front();
        const MqttMessage m = s->inHand->message;
        const uint64_t losses = s->losses;
        lock.unlock();
        int mid = 0;
        const int rc = api.publish(&mid, m.topic, m.payload, m.qos, m.retain);
        lock.lock();
        Entry entry = std::move(*s->inHand);
        s->inHand.reset();
        if (rc == MOSQ_ERR_SUCCESS) {
            const auto early = std::find(s->doneEarly.begin(), s->doneEarly.end(), mid);
            if (early != s->doneEarly.end()) {
                s->doneEarly.erase(early);
                s->confirmed(entry.message);
            } else if (m.qos == 0 && s->losses != losses) {
                // Queued on a connection that went before we could note it: not written.
                s->takeBack(std::move(entry));
            } else {
                s->given.emplace(mid, std::move(entry));
            }
        } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_NOMEM) {
            // The connection went after we looked: the message waits for the next one. Our
            // status may still read Connected for a moment; do not spin on it.
            s->takeBack(std::move(entry));
            s->changed.wait_for(lock, 50ms, [&] { return s->quitting; });
        } else {
            // A topic or payload the broker can never take: waiting would not help.
            qWarning("mqtt: a message to %s was not published: %s", m.topic.constData(),
                     mosquitto_strerror(rc));
        }
        s->doneEarly.clear();
        s->changed.notify_all();
    }
    s->threadDone(lock, s->workerDone);
}

}  // namespace

struct MosquittoClient::Impl {
    Impl(MakeApi makeApi, int capacity, Timing timing)
        : makeApi(std::move(makeApi)), capacity(std::max(1, capacity)), timing(timing) {}

    std::shared_ptr<Shared> fresh() const {
        return std::make_shared<Shared>(capacity, makeApi(), timing);
    }

    // The owner may call these; another thread is told off and refused.
    bool onOwnerThread(const char* call) const {
        const std::thread::id id = owner.load();
        if (id == std::thread::id() || id == std::this_thread::get_id()) {
            return true;
        }
        qCritical("mqtt: %s called off the thread that started the client: refused", call);
        return false;
    }

    std::vector<MqttMessage> stop(const MqttMessage& last);

    const MakeApi makeApi;
    const int capacity;
    const Timing timing;
    // Read by status() and pending() from any thread; replaced only by start().
    std::shared_ptr<Shared> current() const {
        std::lock_guard lock(sharedMutex);
        return shared;
    }

    mutable std::mutex sharedMutex;
    std::shared_ptr<Shared> shared = fresh();
    std::atomic<std::thread::id> owner{};
    bool started = false;
    std::thread network;
    std::thread worker;
};

MosquittoClient::MosquittoClient(int capacity) : MosquittoClient(makeLibMosquitto, capacity) {}

MosquittoClient::MosquittoClient(MakeApi makeApi, int capacity, Timing timing)
    : impl_(std::make_unique<Impl>(std::move(makeApi), capacity, timing)) {}

MosquittoClient::~MosquittoClient() {
    // Whichever thread lets the client go: nobody else can be calling it any more.
    impl_->stop({});
}

void MosquittoClient::start(const MqttSettings& settings) {
    if (!impl_->onOwnerThread("start()") || impl_->started) {
        return;
    }
    impl_->owner = std::this_thread::get_id();
    std::shared_ptr<Shared> s = impl_->shared;
    bool stopped = false;
    {
        std::lock_guard lock(s->mutex);
        stopped = !s->accepting || s->api == nullptr;
    }
    if (stopped) {
        // Start again from nothing; the old state goes with the last thread that holds it, and
        // not while its lock is held.
        s = impl_->fresh();
        std::lock_guard replacing(impl_->sharedMutex);
        impl_->shared = s;
    }
    s->settings = settings;
    MosquittoApi& api = *s->api;
    int rc = api.create(settings.clientId.toUtf8(), kMaxGiven, *s);
    if (rc != MOSQ_ERR_SUCCESS) {
        const int error = errno;
        std::lock_guard lock(s->mutex);
        s->lose(QStringLiteral("клиент MQTT не создан: %1").arg(errnoText(error)));
        return;
    }

    const QByteArray willTopic = settings.topicRoot() + "status";
    rc = api.setWill(willTopic, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings.user.isEmpty()) {
        rc = api.setUser(settings.user.toUtf8(), settings.password);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        // Only a topic or a user name libmosquitto refuses (wildcards, bad UTF-8): no use trying.
        std::lock_guard lock(s->mutex);
        s->lose(QStringLiteral("брокер не настроен: %1 («%2»)")
                    .arg(QString::fromUtf8(mosquitto_strerror(rc)), QString::fromUtf8(willTopic)));
        return;
    }

    {
        std::lock_guard lock(s->mutex);
        s->status.state = BrokerState::Connecting;
        s->status.reason.clear();
        s->accepting = true;
    }
    impl_->started = true;
    impl_->network = std::thread([s] { runNetwork(s); });
    impl_->worker = std::thread([s] { runWorker(s); });
}

std::vector<MqttMessage> MosquittoClient::stop(const MqttMessage& last) {
    if (!impl_->onOwnerThread("stop()")) {
        return {};
    }
    return impl_->stop(last);
}

std::vector<MqttMessage> MosquittoClient::Impl::stop(const MqttMessage& last) {
    const Clock::time_point called = Clock::now();
    const std::shared_ptr<Shared> s = shared;
    std::vector<MqttMessage> left;
    bool finished = true;
    {
        std::unique_lock lock(s->mutex);
        s->accepting = false;
        if (!started) {
            s->status.state = BrokerState::Off;
            s->status.reason.clear();
            return {};
        }
        if (s->status.state == BrokerState::Connected && !last.topic.isEmpty()) {
            s->queue.push_back(Entry{s->nextOrder++, last});
            s->changed.notify_all();
        }
        s->changed.wait_until(lock, called + kDrainBy, [&] {
            return s->status.state != BrokerState::Connected || s->drained();
        });
        s->quitting = true;
        s->disconnectCleanly = s->drained();
        s->disconnectBy = called + kDisconnectBy;
        s->changed.notify_all();
        finished = s->changed.wait_until(lock, called + kThreadsBy,
                                         [&] { return s->networkDone && s->workerDone; });
        left = s->unconfirmed();
        s->status.state = BrokerState::Off;
        s->status.reason.clear();
    }
    if (finished) {
        network.join();
        worker.join();
    } else {
        // Stuck in a name lookup: the threads end on their own, and the last lets the library
        // client go. They hold what they use.
        network.detach();
        worker.detach();
    }
    started = false;
    owner = std::thread::id();
    return left;
}

BrokerStatus MosquittoClient::status() const {
    const std::shared_ptr<Shared> s = impl_->current();
    std::lock_guard lock(s->mutex);
    return s->status;
}

bool MosquittoClient::send(const MqttMessage& message) {
    if (!impl_->onOwnerThread("send()")) {
        return false;
    }
    Shared& s = *impl_->shared;
    std::lock_guard lock(s.mutex);
    if (!s.accepting || static_cast<int>(s.queue.size()) >= s.capacity) {
        return false;
    }
    s.queue.push_back(Entry{s.nextOrder++, message});
    s.changed.notify_all();
    return true;
}

int MosquittoClient::pending() const {
    const std::shared_ptr<Shared> s = impl_->current();
    std::lock_guard lock(s->mutex);
    return static_cast<int>(s->queue.size()) + (s->inHand ? 1 : 0);
}

int MosquittoClient::capacity() const {
    return impl_->capacity;
}

std::vector<uint64_t> MosquittoClient::acknowledged() {
    if (!impl_->onOwnerThread("acknowledged()")) {
        return {};
    }
    const std::shared_ptr<Shared> s = impl_->current();
    std::lock_guard lock(s->mutex);
    std::vector<uint64_t> out;
    out.swap(s->acknowledgedTags);
    return out;
}

QString brokerRefusalText(int connack, bool withUser) {
    return refusalText(connack, withUser);
}

QString brokerFailureText(int rc, int error, const QByteArray& logged, const QString& host) {
    return failureText(rc, error, logged, host);
}

}  // namespace terval
