#include "app/dcs_serving.h"

#include "app/station_core.h"

namespace terval {
namespace {

constexpr qint64 kRecordMinuteMs = 60000;
constexpr size_t kMostToldWaiting = 4096;

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
    // Called on the server's thread: kept for the next second, never waited for.
    const QString error = server_->start(*load.settings, [this](const MapServerEvent& event) {
        latestClients_.store(event.clients, std::memory_order_relaxed);
        const std::lock_guard lock(toldLock_);
        if (told_.size() < kMostToldWaiting) {
            told_.push_back(event);
        } else {
            ++toldDropped_;
        }
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

void DcsServing::secondPassed() {
    if (running_) {
        takeTold();
        showState();
    }
}

void DcsServing::stationStopping() {
    if (!running_) {
        return;
    }
    server_->stop();
    // What the server told before it stopped is recorded while the journal is open.
    takeTold();
    running_ = false;
    clients_ = 0;
    core_.main.view().showServerState(QString());
}

void DcsServing::takeTold() {
    std::deque<MapServerEvent> events;
    int dropped = 0;
    {
        const std::lock_guard lock(toldLock_);
        events.swap(told_);
        std::swap(dropped, toldDropped_);
    }
    for (const MapServerEvent& e : events) {
        told(e);
    }
    comings_.unrecorded += dropped;
    clients_ = latestClients_.load(std::memory_order_relaxed);
}

std::optional<int> DcsServing::RecordBudget::take(qint64 nowMs) {
    if (nowMs - minuteStartMs >= kRecordMinuteMs || nowMs < minuteStartMs) {
        minuteStartMs = nowMs;
        recorded = 0;
    }
    if (recorded >= perMinute) {
        ++unrecorded;
        return std::nullopt;
    }
    ++recorded;
    return std::exchange(unrecorded, 0);
}

void DcsServing::told(const MapServerEvent& event) {
    StationJournal& journal = core_.station.journal;
    const qint64 now = core_.main.clock().now().toMSecsSinceEpoch();
    RecordBudget& budget = event.kind == MapServerEvent::Kind::Refused ? refusals_ : comings_;
    const std::optional<int> untold = budget.take(now);
    if (!untold) {
        return;
    }
    const QString more =
        *untold > 0 ? QStringLiteral(" (ещё %1 не записано за минуту до этого)").arg(*untold)
                    : QString();
    switch (event.kind) {
        case MapServerEvent::Kind::Connected:
            journal.dcsClientConnected(event.address, more);
            break;
        case MapServerEvent::Kind::Left:
            journal.dcsClientLeft(event.address, event.reason + more);
            break;
        case MapServerEvent::Kind::Refused:
            journal.dcsClientRefused(event.address, event.reason + more);
            break;
    }
}

void DcsServing::showState() {
    core_.main.view().showServerState(
        QStringLiteral("Modbus-сервер: порт %1, клиентов %2").arg(server_->port()).arg(clients_));
}

}  // namespace terval
