#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "app/station_companion.h"
#include "app/station_map_builder.h"

namespace terval {

class StationCore;

// What the station serves to the plant's control system, for as long as the station runs: the
// event queue read back when it starts, the builder joined to the record stream, and a fresh
// register image handed over every second and at once when a protection event comes. Whoever
// assembles the station gives it the server's hand-over; the server copies the image under its
// own lock, so handing it over never waits on a client.
class StationMapServing final : public StationCompanion, private RecordFeed {
  public:
    using Publish = std::function<void(const station_map::StationMapImage&)>;

    // `serving`, asked each time the station starts, says whether anyone is served this run;
    // without it the map is always kept. A station that serves nobody keeps no file of events and
    // builds nothing: when it serves again, the journal's events of the runs between follow the
    // file's newest with the next numbers.
    StationMapServing(StationCore& core, Publish publish, std::function<bool()> serving = {});
    ~StationMapServing() override;
    StationMapServing(const StationMapServing&) = delete;
    StationMapServing& operator=(const StationMapServing&) = delete;

    // The builder while the station runs, for the tests; nothing before and after.
    StationMapBuilder* builder() { return builder_.get(); }
    const MapEventQueue* events() const { return events_.get(); }

    void stationStarted() override;
    void secondPassed() override;
    void stationStopping() override;

  private:
    void recorded(const JournalEntry& entry) override;
    void statusRead(int, const StatusReading&) override {}
    void saveEvents();
    void leave();

    StationCore& core_;
    Publish publish_;
    std::function<bool()> serving_;
    std::unique_ptr<MapEventQueue> events_;
    std::unique_ptr<StationMapBuilder> builder_;
    // The last problem with the events' file that the operator was told, so that it is told once.
    QString toldProblem_;
};

}  // namespace terval
