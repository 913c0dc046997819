#include "app/station_map_serving.h"

#include "app/station_core.h"

namespace terval {

StationMapServing::StationMapServing(StationCore& core, Publish publish,
                                     std::function<bool()> serving)
    : core_(core), publish_(std::move(publish)), serving_(std::move(serving)) {
    core_.addCompanion(*this);
}

StationMapServing::~StationMapServing() {
    core_.removeCompanion(*this);
    leave();
}

void StationMapServing::stationStarted() {
    if (builder_ || (serving_ && !serving_())) {
        return;
    }
    Station& station = core_.station;
    events_ = std::make_unique<MapEventQueue>(
        station.folder.absoluteFilePath(QString::fromLatin1(MapEventQueue::kFileName)));
    std::vector<JournalEntry> journalEvents;
    if (Journal* journal = core_.journal(); journal != nullptr && journal->isReadable()) {
        JournalFilter filter;
        filter.kinds = JournalKinds{JournalKind::ProtectionEvent};
        journalEvents = journal->read(filter, station_map::kEventSlots).entries;
    }
    if (const QString problem = events_->load(journalEvents); !problem.isEmpty()) {
        core_.main.messages().showMessage(MessageIcon::Warning, problem);
    }
    InsulationTrend* trend = core_.trend();
    builder_ = std::make_unique<StationMapBuilder>(
        station, core_.link, core_.alarms, core_.main.clock(), *events_,
        [trend](uint16_t address) -> std::optional<AlarmLevels> {
            return trend != nullptr ? trend->levels(address) : std::nullopt;
        });
    station.journal.records().addFeed(builder_.get());
    // After the builder, so that an event it has just numbered is handed over at once.
    station.journal.records().addFeed(this);
    saveEvents();
    publish_(builder_->build());
}

void StationMapServing::secondPassed() {
    if (!builder_) {
        return;
    }
    builder_->secondPassed();
    saveEvents();
    publish_(builder_->build());
}

void StationMapServing::stationStopping() {
    leave();
}

void StationMapServing::recorded(const JournalEntry&) {
    if (builder_ && builder_->eventsChanged()) {
        publish_(builder_->build());
    }
}

void StationMapServing::saveEvents() {
    // Written from the second's tick rather than with the event, so that the record stream never
    // waits on the disk; an event found in the second before a crash is in the journal, which the
    // next start reads after the file.
    const QString problem = events_->save();
    if (!problem.isEmpty() && problem != toldProblem_) {
        core_.main.messages().showMessage(MessageIcon::Warning, problem);
    }
    toldProblem_ = problem;
}

void StationMapServing::leave() {
    if (!builder_) {
        return;
    }
    core_.station.journal.records().removeFeed(this);
    core_.station.journal.records().removeFeed(builder_.get());
    saveEvents();
    builder_.reset();
}

}  // namespace terval
