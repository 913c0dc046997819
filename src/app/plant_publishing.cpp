#include "app/plant_publishing.h"

#include "app/station_core.h"
#include "plant/plant_publisher.h"

namespace terval {

PlantPublishing::PlantPublishing(StationCore& core, PlantOptions options)
    : core_(core), options_(std::move(options)) {
    core_.addCompanion(*this);
}

PlantPublishing::~PlantPublishing() {
    core_.removeCompanion(*this);
    stopPublishing();
    publisher_.reset();
    client_.reset();
}

void PlantPublishing::stationStarted() {
    if (!options_.makeClient || publisher_) {
        // Once per run of the station: a publisher that has stopped stays stopped.
        return;
    }
    Station& station = core_.station;
    const MqttSettingsLoad load =
        loadMqttSettings(station.folder, options_.commandLine, options_.hostName);
    if (!load.error.isEmpty()) {
        // The station monitors as before; only the publishing is off until the settings are put
        // right and it is started again.
        core_.main.messages().showMessage(MessageIcon::Error, load.error);
    }
    if (!load.settings) {
        return;
    }
    client_ = options_.makeClient();
    publisher_ =
        std::make_unique<PlantPublisher>(station, core_.link, core_.main.view(), core_.main.clock(),
                                         *client_, *load.settings, core_.journal());
    station.journal.records().addFeed(publisher_.get());
    publisher_->start();
}

void PlantPublishing::secondPassed() {
    if (publisher_) {
        publisher_->tick();
    }
}

void PlantPublishing::stationStopping() {
    stopPublishing();
}

void PlantPublishing::stopPublishing() {
    if (!publisher_) {
        return;
    }
    // Out of the stream first: what the station records while the publisher says goodbye is the
    // journal's alone, and nothing reaches a publisher that is gone.
    core_.station.journal.records().removeFeed(publisher_.get());
    publisher_->stop();
}

}  // namespace terval
