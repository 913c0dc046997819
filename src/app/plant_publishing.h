#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "app/station_companion.h"
#include "plant/mqtt_client.h"
#include "plant/mqtt_settings.h"

namespace terval {

class PlantPublisher;
class StationCore;

// How the station reaches the plant's broker: the command line's say, and how to make the client.
// Without a way to make one the station never publishes, whatever terval.ini says.
struct PlantOptions {
    MqttCommandLine commandLine;
    std::function<std::unique_ptr<MqttClient>()> makeClient;
    // The default station name in the topics.
    QString hostName;
};

// The station's publishing to the plant's broker, for as long as the station runs: when it
// starts, terval.ini and the command line are read, and if they name a broker the client and the
// publisher are made and the publisher joins the station's record stream; it leaves the stream
// before it goes. Made by whoever assembles the station, after the core and gone before it.
class PlantPublishing final : public StationCompanion {
  public:
    PlantPublishing(StationCore& core, PlantOptions options);
    ~PlantPublishing() override;
    PlantPublishing(const PlantPublishing&) = delete;
    PlantPublishing& operator=(const PlantPublishing&) = delete;

    // The publisher, or nothing when the station does not publish; kept after the station has
    // stopped, for what it could not send.
    PlantPublisher* publisher() { return publisher_.get(); }

    void stationStarted() override;
    void secondPassed() override;
    void stationStopping() override;

  private:
    void stopPublishing();

    StationCore& core_;
    PlantOptions options_;
    // The client goes after the publisher, which talks to it to its last moment.
    std::unique_ptr<MqttClient> client_;
    std::unique_ptr<PlantPublisher> publisher_;
};

}  // namespace terval
