#include "app/dcs_serving.h"

#include "app/station_core.h"

namespace terval {
namespace {

constexpr qint64 kRefusalRecordEveryMs = 60000;

}  // namespace

DcsServing::DcsServing(StationCore& core, DcsOptions options)
    : core_(core), options_(std::move(options)) {
    core_.addCompanion(*this);
}

DcsServing::~DcsServing() {
    core_.removeCompanion(*this);
    if (server_) {
        server_->stop();
    }
}

void DcsServing::publish(std::shared_ptr<const station_map::StationMapImage> image) {
    if (running_) {
        server_->publish(std::move(image));
    }
}

void DcsServing::stationStarted() {
    if (!options_.makeServer || startedOnce_) {
        return;
    }
    startedOnce_ = true;
    const DcsServerSettingsLoad load =
        loadDcsServerSettings(core_.station.folder, options_.commandLine);
    if (!load.error.isEmpty()) {
        // The station monitors as before; only the control system goes without its values.
        core_.main.messages().showMessage(MessageIcon::Error, load.error);
    }
    if (!load.settings) {
        return;
    }
    server_ = options_.makeServer();
    // Called on the server's thread: queued to this one, and dropped if this has gone by then.
    QObject* context = &context_;
    const QString error =
        server_->start(*load.settings, [this, context](const MapServerEvent& event) {
            QMetaObject::invokeMethod(
                context, [this, event] { told(event); }, Qt::QueuedConnection);
        });
    if (!error.isEmpty()) {
        server_.reset();
        core_.main.messages().showMessage(MessageIcon::Error,
                                          QStringLiteral("Modbus-сервер не запущен: %1:%2 — %3.")
                                              .arg(load.settings->address)
                                              .arg(load.settings->port)
                                              .arg(error));
        return;
    }
    running_ = true;
    showState();
}

void DcsServing::stationStopping() {
    if (!running_) {
        return;
    }
    running_ = false;
    server_->stop();
    clients_ = 0;
    core_.main.view().showServerState(QString());
}

void DcsServing::told(const MapServerEvent& event) {
    if (!running_) {
        return;
    }
    clients_ = event.clients;
    StationJournal& journal = core_.station.journal;
    switch (event.kind) {
        case MapServerEvent::Kind::Connected:
            journal.dcsClientConnected(event.address);
            break;
        case MapServerEvent::Kind::Left:
            journal.dcsClientLeft(event.address, event.reason);
            break;
        case MapServerEvent::Kind::Refused: {
            const qint64 now = core_.main.clock().now().toMSecsSinceEpoch();
            if (lastRefusalRecordMs_ && now - *lastRefusalRecordMs_ < kRefusalRecordEveryMs &&
                now >= *lastRefusalRecordMs_) {
                ++refusalsUnrecorded_;
                break;
            }
            QString reason = event.reason;
            if (refusalsUnrecorded_ > 0) {
                reason += QStringLiteral(" (и ещё %1 отказов за минуту до этого)")
                              .arg(refusalsUnrecorded_);
            }
            refusalsUnrecorded_ = 0;
            lastRefusalRecordMs_ = now;
            journal.dcsClientRefused(event.address, reason);
            break;
        }
    }
    showState();
}

void DcsServing::showState() {
    core_.main.view().showServerState(
        QStringLiteral("Modbus-сервер: порт %1, клиентов %2").arg(server_->port()).arg(clients_));
}

}  // namespace terval
