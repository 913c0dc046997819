#include "plantd/plant_assembly.h"

#include <QDateTime>

#include "plantd/historian_thread.h"

namespace terval {
namespace {

// Taken from the subscriber in one go; the event loop gets its turn between batches.
constexpr int kPumpBatch = 1000;
// How soon to look again when the historian's queue was full.
constexpr int kRetryMs = 50;

}  // namespace

void PlantLog::line(const QString& text) {
    std::lock_guard lock(mutex_);
    out_ << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) << text
         << Qt::endl;
}

PlantAssembly::PlantAssembly(HistorianSettings settings, PlantLog& log, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), log_(log) {
    retry_.setSingleShot(true);
    retry_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, [this] { pump(); });
}

PlantAssembly::~PlantAssembly() {
    stop();
}

void PlantAssembly::addSink(PlantMessageSink& sink) {
    sinks_.push_back(&sink);
}

bool PlantAssembly::start(QString* error) {
    if (running_) {
        return true;
    }
    const MqttSettings& broker = settings_.broker;
    log_.line(QStringLiteral("terval-plant %1: брокер %2%3 (клиент %4, подписка %5/+/#), база %6, "
                             "очередь на диске %7 (до %8 МБ), хранение %9")
                  .arg(QStringLiteral(TERVAL_VERSION), broker.brokerName(),
                       broker.tls() ? QStringLiteral(" по TLS") : QString(), broker.clientId,
                       broker.prefix, settings_.database.url(), settings_.spoolFolder)
                  .arg(settings_.spoolLimitBytes >> 20)
                  .arg(settings_.retentionMonths == 0
                           ? QStringLiteral("без срока")
                           : QStringLiteral("%1 мес.").arg(settings_.retentionMonths)));

    historian_ = std::make_unique<HistorianThread>(
        settings_, [this](const QString& line) { log_.line(line); });
    QString why;
    if (!historian_->begin(&why)) {
        historian_.reset();
        if (error != nullptr) {
            *error = QStringLiteral("terval-plant: ") + why;
        }
        return false;
    }
    subscriber_ = std::make_unique<PlantSubscriber>();
    if (!subscriber_->start(
            broker, [this] { pump(); }, &why)) {
        historian_->finish(settings_.database.connectTimeoutSeconds);
        historian_.reset();
        subscriber_.reset();
        if (error != nullptr) {
            *error = QStringLiteral("terval-plant: брокер MQTT: ") + why;
        }
        return false;
    }
    running_ = true;
    return true;
}

void PlantAssembly::deliver(const PlantDelivery& d) {
    if (d.kind == PlantDelivery::Kind::BrokerChanged) {
        log_.line(
            d.connected
                ? QStringLiteral("Брокер %1: связь есть, подписка на %2")
                      .arg(settings_.broker.brokerName(),
                           QString::fromUtf8(subscriber_->subscription()))
                : QStringLiteral("Брокер %1: %2").arg(settings_.broker.brokerName(), d.reason));
    }
    for (PlantMessageSink* sink : sinks_) {
        if (d.kind == PlantDelivery::Kind::Message) {
            sink->received(d.message);
        } else {
            sink->brokerChanged(d.connected, d.reason);
        }
    }
}

void PlantAssembly::pump() {
    if (!subscriber_ || !historian_) {
        return;
    }
    for (;;) {
        const int room = std::min(historian_->room(), kPumpBatch);
        if (room <= 0) {
            break;
        }
        std::vector<PlantDelivery> batch = subscriber_->take(room);
        if (batch.empty()) {
            return;
        }
        for (PlantDelivery& d : batch) {
            deliver(d);
            // Room was counted before taking, and only this thread fills the queue.
            historian_->offer(std::move(d));
        }
        if (static_cast<int>(batch.size()) < room) {
            return;
        }
    }
    if (subscriber_->waiting() > 0 && !retry_.isActive()) {
        retry_.start();
    }
}

void PlantAssembly::stop() {
    if (!running_) {
        return;
    }
    running_ = false;
    retry_.stop();
    subscriber_->stop();
    // What the broker already has our acknowledgement for is ours to keep: all of it to the
    // historian, which writes it or spools it.
    for (;;) {
        std::vector<PlantDelivery> rest = subscriber_->take(kPumpBatch);
        if (rest.empty()) {
            break;
        }
        for (PlantDelivery& d : rest) {
            deliver(d);
            while (!historian_->offer(d)) {
                QThread::msleep(5);
            }
        }
    }
    historian_->finish(5);
    historian_.reset();
    subscriber_.reset();
    log_.line(QStringLiteral("terval-plant остановлен"));
}

}  // namespace terval
