#pragma once

#include <QDateTime>
#include <QString>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "app/station_companion.h"
#include "dcs/map_server.h"

namespace terval {

class StationCore;

// How the station serves the plant's control system: the command line's say, and how to make the
// server. Without a way to make one the station serves nothing, whatever terval.ini says.
struct DcsOptions {
    DcsServerCommandLine commandLine;
    std::function<std::unique_ptr<MapServer>()> makeServer;
};

// The station's Modbus TCP server for the plant's control system, for as long as the station
// runs: started with the station when terval.ini or the command line ask for it, stopped before
// the journal closes. What the server tells from its thread waits in a queue of its own, taken
// once a second on the UI thread for the status bar and the journal's records of clients, so that
// a flood of connections costs the UI thread one short turn a second and never a wait.
class DcsServing final : public StationCompanion {
  public:
    DcsServing(StationCore& core, DcsOptions options);
    ~DcsServing() override;
    DcsServing(const DcsServing&) = delete;
    DcsServing& operator=(const DcsServing&) = delete;

    // The server, or nothing while the station does not serve.
    MapServer* server() { return running_ ? server_.get() : nullptr; }
    // The values the control system reads from now on; nothing while the station does not
    // serve. Returns at once.
    void publish(std::shared_ptr<const station_map::StationMapImage> image);
    int clients() const { return clients_; }

    void stationStarted() override;
    void secondPassed() override;
    void stationStopping() override;

  private:
    // How many records of one sort a minute may take; the rest are counted and told in the
    // next record of that sort.
    struct RecordBudget {
        int perMinute = 0;
        qint64 minuteStartMs = 0;
        int recorded = 0;
        int unrecorded = 0;
        // Whether a record may be made now; if so, how many were not before it.
        std::optional<int> take(qint64 nowMs);
    };

    void told(const MapServerEvent& event);
    void takeTold();
    void showState();

    StationCore& core_;
    DcsOptions options_;
    std::unique_ptr<MapServer> server_;
    bool running_ = false;
    bool startedOnce_ = false;
    int clients_ = 0;
    // A control system comes and goes a few times a day; a client that connects in a loop, or a
    // scanner, must not fill the journal.
    RecordBudget comings_{30};
    RecordBudget refusals_{1};
    // Filled on the server's thread, taken on this one. Bounded: what a flood brings beyond it is
    // counted, not kept.
    std::mutex toldLock_;
    std::deque<MapServerEvent> told_;
    int toldDropped_ = 0;
    std::atomic<int> latestClients_{0};
};

}  // namespace terval
