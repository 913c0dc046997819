#include "plantnet/plant_subscriber.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "mqtt/mosquitto_client.h"

// Our own network thread rather than mosquitto_loop_start(), for the reasons the station's client
// gives: libmosquitto's thread stops trying for good after a first failed attempt or a TLS error.

namespace terval {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kKeepaliveSeconds = 30;
constexpr int kLoopMilliseconds = 100;
// How long stop() waits for the network thread before letting it go (a name lookup cannot be
// cut short).
constexpr auto kThreadsBy = 1500ms;
// While the queue is full the network thread looks again this often whether it may go on.
constexpr auto kFullPause = 200ms;

void initLibrary() {
    static const int done = [] {
        mosquitto_lib_init();
        return 0;
    }();
    (void)done;
}

}  // namespace

// What the network thread and the owner share; the thread holds it too, so that a thread let go
// by stop() still has it.
struct PlantSubscriber::Shared {
    ~Shared() {
        if (mosq != nullptr) {
            mosquitto_destroy(mosq);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    MqttSettings settings;
    QByteArray topic;
    int capacity = 0;
    Timing timing;
    mosquitto* mosq = nullptr;
    int wakeFd = -1;  // the thread's own duplicate, closed with the last holder

    // Under `mutex`, never held while libmosquitto is called from the owner's side.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<PlantDelivery> queue;
    bool quitting = false;
    bool threadDone = false;
    bool isConnected = false;
    bool toldAny = false;  // a change was handed over at least once
    bool toldConnected = false;
    QString toldReason;
    // The current attempt: whether a callback said how it went, and libmosquitto's last error.
    bool explained = false;
    bool connectedInAttempt = false;
    QByteArray loggedError;

    void wake() const {
        const uint64_t one = 1;
        // A full counter still wakes the reader; nothing else can go wrong worth telling.
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }

    // Called with the lock held. Only a change of state or of the reason is told, so that a broker
    // away for hours leaves one line, not one per attempt.
    void tell(bool connectedNow, const QString& reason) {
        if (toldAny && toldConnected == connectedNow && (connectedNow || toldReason == reason)) {
            return;
        }
        toldAny = true;
        toldConnected = connectedNow;
        toldReason = reason;
        PlantDelivery d;
        d.kind = PlantDelivery::Kind::BrokerChanged;
        d.connected = connectedNow;
        d.reason = reason;
        queue.push_back(std::move(d));
        wake();
    }

    void lose(const QString& reason) {
        isConnected = false;
        explained = true;
        tell(false, reason);
    }

    // The network thread: every attempt, the loop while connected, the pause after.
    static void run(const std::shared_ptr<Shared>& s);

    static Shared& of(void* userdata) { return *static_cast<Shared*>(userdata); }

    static void onConnect(mosquitto* m, void* userdata, int rc) {
        Shared& s = of(userdata);
        if (rc == 0) {
            // Every connection: a broker that lost its sessions has lost the subscription too.
            const int sub = mosquitto_subscribe(m, nullptr, s.topic.constData(), 1);
            std::lock_guard lock(s.mutex);
            if (sub != MOSQ_ERR_SUCCESS) {
                s.lose(QStringLiteral("подписка на %1 не принята: %2")
                           .arg(QString::fromUtf8(s.topic),
                                QString::fromUtf8(mosquitto_strerror(sub))));
                return;
            }
            s.isConnected = true;
            s.connectedInAttempt = true;
            s.tell(true, {});
        } else {
            std::lock_guard lock(s.mutex);
            s.lose(brokerRefusalText(rc, !s.settings.user.isEmpty()));
        }
    }

    static void onDisconnect(mosquitto*, void* userdata, int rc) {
        const int error = errno;
        Shared& s = of(userdata);
        std::lock_guard lock(s.mutex);
        s.isConnected = false;
        if (rc != MOSQ_ERR_SUCCESS && !s.explained) {
            s.lose(brokerFailureText(rc, error, s.loggedError, s.settings.host));
        }
    }

    static void onMessage(mosquitto*, void* userdata, const mosquitto_message* m) {
        Shared& s = of(userdata);
        PlantDelivery d;
        d.message.topic = QByteArray(m->topic);
        d.message.payload =
            QByteArray(static_cast<const char*>(m->payload), std::max(0, m->payloadlen));
        d.message.retained = m->retain;
        d.message.receivedAt = QDateTime::currentDateTime();
        std::unique_lock lock(s.mutex);
        // Full: hold this one and read no more until the owner has taken some.
        while (static_cast<int>(s.queue.size()) >= s.capacity && !s.quitting) {
            s.changed.wait_for(lock, kFullPause);
        }
        s.queue.push_back(std::move(d));
        s.wake();
    }

    static void onLog(mosquitto*, void* userdata, int level, const char* text) {
        if (level != MOSQ_LOG_ERR || text == nullptr) {
            return;
        }
        Shared& s = of(userdata);
        std::lock_guard lock(s.mutex);
        s.loggedError = QByteArray(text);
    }
};

void PlantSubscriber::Shared::run(const std::shared_ptr<Shared>& s) {
    const QByteArray host = s->settings.host.toUtf8();
    bool first = true;
    auto pause = Clock::duration(s->timing.firstPause);
    std::unique_lock lock(s->mutex);
    while (!s->quitting) {
        s->explained = false;
        s->connectedInAttempt = false;
        s->loggedError.clear();
        lock.unlock();

        int rc = first ? mosquitto_connect_async(s->mosq, host.constData(), s->settings.port,
                                                 kKeepaliveSeconds)
                       : mosquitto_reconnect_async(s->mosq);
        int error = errno;
        first = false;
        if (rc == MOSQ_ERR_SUCCESS) {
            for (;;) {
                rc = mosquitto_loop(s->mosq, kLoopMilliseconds, 1);
                error = errno;
                lock.lock();
                const bool quitting = s->quitting;
                lock.unlock();
                if (quitting) {
                    mosquitto_disconnect(s->mosq);
                    // Let DISCONNECT go out; the session stays on the broker.
                    mosquitto_loop(s->mosq, 50, 1);
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
        s->isConnected = false;
        if (!s->explained) {
            s->lose(brokerFailureText(rc, error, s->loggedError, s->settings.host));
        }
        if (s->connectedInAttempt) {
            pause = s->timing.firstPause;
        }
        s->changed.wait_for(lock, pause, [&] { return s->quitting; });
        pause = std::min<Clock::duration>(pause * 2, s->timing.longestPause);
    }
    s->threadDone = true;
    s->changed.notify_all();
}

PlantSubscriber::PlantSubscriber(int capacity, Timing timing, QObject* parent)
    : QObject(parent), capacity_(std::max(1, capacity)), timing_(timing) {}

PlantSubscriber::~PlantSubscriber() {
    stop();
    notifier_.reset();
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

QByteArray PlantSubscriber::subscription() const {
    return shared_ ? shared_->topic : QByteArray();
}

bool PlantSubscriber::start(const MqttSettings& settings, std::function<void()> ready,
                            QString* error) {
    const auto fail = [error](const QString& why) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    };
    if (shared_) {
        return fail(QStringLiteral("подписчик уже запущен"));
    }
    initLibrary();
    if (wakeFd_ < 0) {
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0) {
            return fail(QStringLiteral("eventfd: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        }
        notifier_ = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
            if (ready_) {
                ready_();
            }
        });
    }
    ready_ = std::move(ready);

    auto s = std::make_shared<Shared>();
    s->settings = settings;
    s->topic = (settings.prefix + QStringLiteral("/+/#")).toUtf8();
    s->capacity = capacity_;
    s->timing = timing_;
    s->wakeFd = ::fcntl(wakeFd_, F_DUPFD_CLOEXEC, 0);
    if (s->wakeFd < 0) {
        return fail(QStringLiteral("eventfd: %1").arg(QString::fromLocal8Bit(strerror(errno))));
    }
    // clean_session false: the broker keeps our subscription and what arrives for it while we
    // are away, under the client id.
    const QByteArray clientId = settings.clientId.toUtf8();
    s->mosq = mosquitto_new(clientId.constData(), false, s.get());
    if (s->mosq == nullptr) {
        return fail(QStringLiteral("клиент MQTT не создан: %1")
                        .arg(errno == EINVAL ? QStringLiteral("нужен clientId")
                                             : QString::fromLocal8Bit(strerror(errno))));
    }
    mosquitto_threaded_set(s->mosq, true);
    mosquitto_connect_callback_set(s->mosq, &Shared::onConnect);
    mosquitto_disconnect_callback_set(s->mosq, &Shared::onDisconnect);
    mosquitto_message_callback_set(s->mosq, &Shared::onMessage);
    mosquitto_log_callback_set(s->mosq, &Shared::onLog);
    int rc = MOSQ_ERR_SUCCESS;
    if (!settings.user.isEmpty()) {
        rc = mosquitto_username_pw_set(
            s->mosq, settings.user.toUtf8().constData(),
            settings.password.isNull() ? nullptr : settings.password.constData());
    }
    if (rc == MOSQ_ERR_SUCCESS && settings.tls()) {
        rc = mosquitto_tls_set(s->mosq, settings.caFile.toLocal8Bit().constData(), nullptr, nullptr,
                               nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            return fail(QStringLiteral("файл сертификата ЦС %1 не читается").arg(settings.caFile));
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        return fail(QStringLiteral("брокер не настроен: %1")
                        .arg(QString::fromUtf8(mosquitto_strerror(rc))));
    }
    shared_ = s;
    std::thread([s] { Shared::run(s); }).detach();
    return true;
}

void PlantSubscriber::stop() {
    if (!shared_) {
        return;
    }
    std::unique_lock lock(shared_->mutex);
    shared_->quitting = true;
    shared_->changed.notify_all();
    // The thread holds what it uses; one stuck in a name lookup ends by itself later.
    shared_->changed.wait_for(lock, kThreadsBy, [&] { return shared_->threadDone; });
    shared_->isConnected = false;
}

std::vector<PlantDelivery> PlantSubscriber::take(int most) {
    std::vector<PlantDelivery> out;
    if (!shared_) {
        return out;
    }
    std::lock_guard lock(shared_->mutex);
    const int n = std::min<int>(most, static_cast<int>(shared_->queue.size()));
    out.reserve(n);
    for (int i = 0; i < n; ++i) {
        out.push_back(std::move(shared_->queue.front()));
        shared_->queue.pop_front();
    }
    shared_->changed.notify_all();
    return out;
}

int PlantSubscriber::waiting() const {
    if (!shared_) {
        return 0;
    }
    std::lock_guard lock(shared_->mutex);
    return static_cast<int>(shared_->queue.size());
}

bool PlantSubscriber::connected() const {
    if (!shared_) {
        return false;
    }
    std::lock_guard lock(shared_->mutex);
    return shared_->isConnected;
}

}  // namespace terval
