#include "mqtt/mosquitto_client.h"

#include <mosquitto.h>

#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
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
constexpr auto kFirstPause = 1s;
constexpr auto kLongestPause = 30s;
// How long mosquitto_loop() waits for the socket; a publish wakes it at once.
constexpr int kLoopMilliseconds = 100;
// stop(): for what is handed over (and `last`) to go out; then for DISCONNECT to be written;
// then for the threads, which are let go rather than waited for any longer (a name lookup
// cannot be cut short).
constexpr auto kDrainWait = 2s;
constexpr auto kDisconnectWait = 1s;
constexpr auto kThreadsWait = 3s;

void initLibrary() {
    static const int done = [] {
        mosquitto_lib_init();
        return 0;
    }();
    Q_UNUSED(done);
}

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
// by stop() still has it, and the last one out destroys the libmosquitto client.
struct Shared {
    explicit Shared(int capacity) : capacity(capacity) {}
    ~Shared() {
        if (mosq != nullptr) {
            mosquitto_destroy(mosq);
        }
    }

    const int capacity;
    MqttSettings settings;
    // Made by start() before the threads; set up (apart from TLS) before them too.
    mosquitto* mosq = nullptr;

    // Everything below under `mutex`, which is never held while libmosquitto is called: its
    // callbacks take it from inside libmosquitto's own locks.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Entry> queue;  // handed over, not yet given to libmosquitto
    uint64_t nextOrder = 0;
    std::map<int, Entry> given;  // by message id: given, not yet written (QoS 0) or acknowledged
    int handing = 0;             // taken from the queue and being given at this moment
    std::vector<int> doneEarly;  // acknowledged before mosquitto_publish() returned its id
    uint64_t losses = 0;         // connections gone, to tell one gone while a message was given
    BrokerStatus status;
    bool accepting = true;  // send() takes messages; false from stop() on
    bool quitting = false;
    bool networkDone = false;
    bool workerDone = false;
    // The current attempt: whether a callback has said how it ended, whether it connected, and
    // the last error libmosquitto logged in it.
    bool explained = false;
    bool connectedInAttempt = false;
    QByteArray loggedError;

    bool canGive() const {
        return status.state == BrokerState::Connected && !queue.empty() &&
               static_cast<int>(given.size()) + handing < kMaxGiven;
    }
    bool drained() const { return queue.empty() && given.empty() && handing == 0; }

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

    void lose(const QString& reason) {
        status.state = BrokerState::Lost;
        status.reason = reason;
        explained = true;
    }
};

Shared* of(void* userdata) {
    return static_cast<Shared*>(userdata);
}

void onConnect(mosquitto* mosq, void* userdata, int rc) {
    Shared* s = of(userdata);
    if (rc == 0) {
        // Said here, inside the connection's acknowledgement, and before the status below lets
        // the hand-over thread give anything: libmosquitto sends what it holds unacknowledged
        // from the last connection only after this callback returns, so "online" is the first
        // message of every connection, and only one.
        const QByteArray topic = s->settings.topicRoot() + "status";
        static constexpr char kOnline[] = "online";
        const int published = mosquitto_publish(mosq, nullptr, topic.constData(),
                                                sizeof kOnline - 1, kOnline, 1, true);
        if (published != MOSQ_ERR_SUCCESS) {
            qWarning("mqtt: online was not published to %s: %s", topic.constData(),
                     mosquitto_strerror(published));
        }
    }
    std::lock_guard lock(s->mutex);
    if (rc == 0) {
        s->status.state = BrokerState::Connected;
        s->status.reason.clear();
        ++s->status.connections;
        s->connectedInAttempt = true;
    } else {
        s->lose(refusalText(rc, !s->settings.user.isEmpty()));
    }
    s->changed.notify_all();
}

void onDisconnect(mosquitto*, void* userdata, int rc) {
    const int error = errno;
    Shared* s = of(userdata);
    std::lock_guard lock(s->mutex);
    ++s->losses;
    s->takeBackUnwritten();
    // 0 is our own DISCONNECT; a refusal has been told by onConnect already.
    if (rc != MOSQ_ERR_SUCCESS && !s->explained) {
        s->lose(failureText(rc, error, s->loggedError, s->settings.host));
    }
    s->changed.notify_all();
}

void onPublish(mosquitto*, void* userdata, int mid) {
    Shared* s = of(userdata);
    std::lock_guard lock(s->mutex);
    if (s->given.erase(mid) == 0 && s->handing > 0) {
        s->doneEarly.push_back(mid);
    }
    s->changed.notify_all();
}

void onLog(mosquitto*, void* userdata, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || text == nullptr) {
        return;
    }
    Shared* s = of(userdata);
    std::lock_guard lock(s->mutex);
    s->loggedError = QByteArray(text);
}

void runNetwork(const std::shared_ptr<Shared>& s) {
    const QByteArray host = s->settings.host.toUtf8();
    const QByteArray caFile = s->settings.caFile.toLocal8Bit();
    bool tlsReady = !s->settings.tls();
    bool first = true;
    auto pause = Clock::duration(kFirstPause);
    std::unique_lock lock(s->mutex);
    while (!s->quitting) {
        s->explained = false;
        s->connectedInAttempt = false;
        s->loggedError.clear();
        lock.unlock();

        int rc = MOSQ_ERR_SUCCESS;
        int error = 0;
        if (!tlsReady) {
            // Checked before every attempt: the file may come back.
            rc = mosquitto_tls_set(s->mosq, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
            tlsReady = rc == MOSQ_ERR_SUCCESS;
            if (!tlsReady) {
                lock.lock();
                s->lose(
                    QStringLiteral("файл сертификата ЦС %1 не читается").arg(s->settings.caFile));
                lock.unlock();
            }
        }
        if (tlsReady) {
            rc = first ? mosquitto_connect_async(s->mosq, host.constData(), s->settings.port,
                                                 kKeepaliveSeconds)
                       : mosquitto_reconnect_async(s->mosq);
            error = errno;
            first = false;
        }
        if (tlsReady && rc == MOSQ_ERR_SUCCESS) {
            bool disconnecting = false;
            Clock::time_point disconnectDeadline;
            for (;;) {
                rc = mosquitto_loop(s->mosq, kLoopMilliseconds, 1);
                error = errno;
                lock.lock();
                const bool quitting = s->quitting;
                lock.unlock();
                if (quitting && !disconnecting) {
                    disconnecting = true;
                    disconnectDeadline = Clock::now() + kDisconnectWait;
                    if (mosquitto_disconnect(s->mosq) != MOSQ_ERR_SUCCESS) {
                        break;
                    }
                } else if (disconnecting && Clock::now() >= disconnectDeadline) {
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
            pause = kFirstPause;
        }
        s->changed.notify_all();
        s->changed.wait_for(lock, pause, [&] { return s->quitting; });
        pause = std::min<Clock::duration>(pause * 2, kLongestPause);
    }
    s->networkDone = true;
    s->changed.notify_all();
}

void runWorker(const std::shared_ptr<Shared>& s) {
    std::unique_lock lock(s->mutex);
    for (;;) {
        s->changed.wait(lock, [&] { return s->quitting || s->canGive(); });
        if (s->quitting) {
            break;
        }
        Entry entry = std::move(s->queue.front());
        s->queue.pop_front();
        ++s->handing;
        const uint64_t losses = s->losses;
        lock.unlock();
        const MqttMessage& m = entry.message;
        int mid = 0;
        const int rc = mosquitto_publish(s->mosq, &mid, m.topic.constData(),
                                         static_cast<int>(m.payload.size()), m.payload.constData(),
                                         m.qos, m.retain);
        lock.lock();
        --s->handing;
        if (rc == MOSQ_ERR_SUCCESS) {
            const auto early = std::find(s->doneEarly.begin(), s->doneEarly.end(), mid);
            if (early != s->doneEarly.end()) {
                s->doneEarly.erase(early);
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
        if (s->handing == 0) {
            s->doneEarly.clear();
        }
        s->changed.notify_all();
    }
    s->workerDone = true;
    s->changed.notify_all();
}

}  // namespace

struct MosquittoClient::Impl {
    explicit Impl(int capacity) : capacity(std::max(1, capacity)) {}

    const int capacity;
    std::shared_ptr<Shared> shared = std::make_shared<Shared>(capacity);
    bool started = false;
    std::thread network;
    std::thread worker;
};

MosquittoClient::MosquittoClient(int capacity) : impl_(std::make_unique<Impl>(capacity)) {}

MosquittoClient::~MosquittoClient() {
    stop();
}

void MosquittoClient::start(const MqttSettings& settings) {
    if (impl_->started) {
        return;
    }
    initLibrary();
    std::shared_ptr<Shared> s = impl_->shared;
    {
        std::lock_guard lock(s->mutex);
        if (!s->accepting) {
            // Stopped before: start again from nothing.
            s = std::make_shared<Shared>(impl_->capacity);
            impl_->shared = s;
        }
    }
    s->settings = settings;
    if (s->mosq != nullptr) {
        // Left by a start() that found the settings unusable.
        mosquitto_destroy(s->mosq);
    }
    const QByteArray clientId = settings.clientId.toUtf8();
    s->mosq = mosquitto_new(clientId.isEmpty() ? nullptr : clientId.constData(), true, s.get());
    if (s->mosq == nullptr) {
        std::lock_guard lock(s->mutex);
        s->lose(QStringLiteral("клиент MQTT не создан: %1").arg(errnoText(errno)));
        return;
    }
    mosquitto_threaded_set(s->mosq, true);
    mosquitto_int_option(s->mosq, MOSQ_OPT_SEND_MAXIMUM, kMaxGiven);
    mosquitto_connect_callback_set(s->mosq, onConnect);
    mosquitto_disconnect_callback_set(s->mosq, onDisconnect);
    mosquitto_publish_callback_set(s->mosq, onPublish);
    mosquitto_log_callback_set(s->mosq, onLog);

    const QByteArray willTopic = settings.topicRoot() + "status";
    static constexpr char kOffline[] = "offline";
    int rc =
        mosquitto_will_set(s->mosq, willTopic.constData(), sizeof kOffline - 1, kOffline, 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings.user.isEmpty()) {
        const QByteArray user = settings.user.toUtf8();
        rc = mosquitto_username_pw_set(
            s->mosq, user.constData(),
            settings.password.isNull() ? nullptr : settings.password.constData());
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

void MosquittoClient::stop(const MqttMessage& last) {
    const std::shared_ptr<Shared> s = impl_->shared;
    bool finished = true;
    {
        std::unique_lock lock(s->mutex);
        s->accepting = false;
        if (!impl_->started) {
            s->status.state = BrokerState::Off;
            s->status.reason.clear();
            return;
        }
        if (s->status.state == BrokerState::Connected && !last.topic.isEmpty()) {
            s->queue.push_back(Entry{s->nextOrder++, last});
            s->changed.notify_all();
        }
        s->changed.wait_for(lock, kDrainWait, [&] {
            return s->status.state != BrokerState::Connected || s->drained();
        });
        s->quitting = true;
        s->changed.notify_all();
        finished = s->changed.wait_for(lock, kThreadsWait,
                                       [&] { return s->networkDone && s->workerDone; });
        s->status.state = BrokerState::Off;
        s->status.reason.clear();
    }
    if (finished) {
        impl_->network.join();
        impl_->worker.join();
    } else {
        // Stuck in a name lookup: the threads end on their own, and the last destroys the client.
        impl_->network.detach();
        impl_->worker.detach();
    }
    impl_->started = false;
}

BrokerStatus MosquittoClient::status() const {
    std::lock_guard lock(impl_->shared->mutex);
    return impl_->shared->status;
}

bool MosquittoClient::send(const MqttMessage& message) {
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
    const Shared& s = *impl_->shared;
    std::lock_guard lock(s.mutex);
    return static_cast<int>(s.queue.size()) + s.handing;
}

int MosquittoClient::capacity() const {
    return impl_->capacity;
}

}  // namespace terval
