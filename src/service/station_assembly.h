#pragma once

#include <QDir>
#include <QLocale>

#include "app/dcs_serving.h"
#include "app/plant_publishing.h"
#include "app/station_map_serving.h"
#include "app/station_core.h"
#include "io/serial_link.h"
#include "io/tcp_link.h"

namespace terval {

// The station's core over the real serial port and TCP socket, with its publishing to the plant's
// broker and its Modbus server for the plant's control system, wired alike for the windowed
// station and the one without windows: main() makes one and
// keeps it for the life of the program. The links are made first and go last, as the core
// detaches itself from them when it goes; the publishing goes first, while the core it follows
// is whole.
class StationAssembly {
  public:
    // `plant` says how the core reaches the plant's broker, `dcs` how it serves the plant's
    // control system; the journal is kept in `folder`.
    StationAssembly(const QDir& folder, MainView& view, MessageSink& messages, const Clock& clock,
                    QLocale locale, PlantOptions plant, DcsOptions dcs = {});
    StationAssembly(const StationAssembly&) = delete;
    StationAssembly& operator=(const StationAssembly&) = delete;

    StationCore& core() { return core_; }
    PlantPublishing& publishing() { return publishing_; }
    DcsServing& dcsServing() { return dcsServing_; }
    StationMapServing& mapServing() { return mapServing_; }

  private:
    QtSerialLink serial_;
    QtTcpLink tcp_;
    StationCore core_;
    PlantPublishing publishing_;
    DcsServing dcsServing_;
    // After the server: it starts once the server runs and stops before it.
    StationMapServing mapServing_;
};

}  // namespace terval
