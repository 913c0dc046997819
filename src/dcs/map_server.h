#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "dcs/dcs_settings.h"
#include "modbus/station_map.h"

namespace terval {

// What the server tells about its clients, from its own thread.
struct MapServerEvent {
    enum class Kind : uint8_t {
        Connected,  // a client was taken
        Left,       // a client went or was closed; `reason` says why
        Refused,    // a client was turned away at once; `reason` says why
    };
    Kind kind = Kind::Connected;
    QString address;  // "10.1.0.7:50312"
    QString reason;
    int clients = 0;  // connected after this
};

// The Modbus TCP server the control system reads the station's map from. It serves on a thread of
// its own from the newest image handed to it: nothing it does waits for the caller, and nothing
// the caller does waits for a client.
class MapServer {
  public:
    virtual ~MapServer() = default;
    // Listens as `settings` say; an empty string when it does, else why not. `tell` is called
    // on the server's thread and must not block.
    virtual QString start(const DcsServerSettings& settings,
                          std::function<void(const MapServerEvent&)> tell) = 0;
    // Every client closed and the thread ended; at once.
    virtual void stop() = 0;
    // The port listened on, once started (the one chosen when 0 was asked for).
    virtual int port() const = 0;
    // The values answered from now on.
    virtual void publish(std::shared_ptr<const station_map::StationMapImage> image) = 0;
};

}  // namespace terval
