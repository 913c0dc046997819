#pragma once

namespace terval {

// Something that runs beside the station's poll for as long as the station runs: the publisher
// to the plant's broker, and whatever else the composition root adds. The core calls it on the UI
// thread, and every call returns at once.
class StationCompanion {
  public:
    virtual ~StationCompanion() = default;
    // The stored files are read and the journal is open: what the companion records is kept.
    virtual void stationStarted() = 0;
    // Once a second while the station runs, after the main window's clock and tiles.
    virtual void secondPassed() = 0;
    // The station closes: the journal is still open for the companion's last records.
    virtual void stationStopping() = 0;
};

}  // namespace terval
