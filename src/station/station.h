#pragma once

#include <QDateTime>
#include <QDir>
#include <QString>
#include <array>

#include "devices/alarm_log.h"
#include "devices/connection_config.h"
#include "devices/device_files.h"
#include "devices/device_table.h"
#include "modbus/modbus_frame.h"
#include "station/poll_state.h"
#include "station/station_journal.h"
#include "station/station_settings.h"

namespace terval {

enum TileState : int {
    kTileNoAnswer = 0,   // Bitmap1: no answer, or the link is closed
    kTileEvent = 1,      // Bitmap2: a new protection event waits for acknowledgement
    kTileAnswering = 2,  // Bitmap3: answering, nothing unacknowledged
};

// What tile i shows besides the relay's names. Kept here rather than in the widgets, so that the
// scheduler and the tests can read it.
struct TileModel {
    int state = kTileNoAnswer;
    QString value;
    bool valueVisible = false;
    // When the relay last gave an answer of its own; invalid while it never has.
    QDateTime lastAnswer;
    // A protection event waits for acknowledgement: the tile shows kTileEvent whenever the relay
    // answers, through link losses and restarts, until the operator has seen it. Kept with the
    // tile so that it moves up with it when a relay before it is deleted.
    bool eventWaiting = false;
};

// All the run-time state of the station, one instance owned by the main window and handed by
// reference to whoever needs it.
struct Station {
    explicit Station(QDir workFolder) : folder(std::move(workFolder)) {}

    // The working folder, fixed at start-up; every file of the station lives in it.
    QDir folder;
    QString configPath() const { return folder.absoluteFilePath(kConfigFileName); }

    DeviceTable devices;
    StationParams params;
    ConnectionConfig connection;
    StationSettings settings;
    std::array<TileModel, kMaxDevices + 1> tiles{};  // index = relay number; 0 unused
    AlarmLog alarmLog;

    PollState poll;
    // The request of this send point as the scheduler built it, to the relay's own address; it is
    // the request in flight until the next send point. Only the scheduler writes it. How it went
    // on the wire, and what its answer must show, is the link's transport's business.
    RequestFrame request;

    // What happens is recorded through here, once the station has a journal to write to.
    StationJournal journal{devices};

    // The status line as the link last set it.
    QString statusText;

    // The NConnecting item's flag: a link is open (or being opened).
    bool linkUp = false;
    // False when gen.dat could not be read at start-up: it still holds the list, so it is not
    // written over in this run.
    bool deviceFileWritable = true;
    // The table in memory holds a change that gen.dat does not.
    bool deviceTableUnsaved = false;

    TileModel& tile(int i) { return tiles.at(static_cast<size_t>(i)); }
    const TileModel& tile(int i) const { return tiles.at(static_cast<size_t>(i)); }
};

}  // namespace terval
