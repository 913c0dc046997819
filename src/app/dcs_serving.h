#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
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
// the journal closes. What the server tells from its thread comes here through the UI thread's
// event queue: the status bar, and the journal's records of clients.
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
    void secondPassed() override {}
    void stationStopping() override;

  private:
    void told(const MapServerEvent& event);
    void showState();

    StationCore& core_;
    DcsOptions options_;
    std::unique_ptr<MapServer> server_;
    bool running_ = false;
    bool startedOnce_ = false;
    int clients_ = 0;
    // Refusals come in floods (a scanner, a control system with too many connections): one record
    // a minute, the next one saying how many were not recorded.
    std::optional<qint64> lastRefusalRecordMs_;
    int refusalsUnrecorded_ = 0;
    // What the server thread tells is queued to this object's thread, and dropped once it goes.
    QObject context_;
};

}  // namespace terval
