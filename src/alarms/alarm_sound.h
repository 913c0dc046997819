#pragma once

#include <QString>

#include "station/alarm.h"

namespace terval {

// Where the alarms make their sound: Qt Multimedia in the station, a recording fake in the tests,
// nothing in the station without windows. Called on the UI thread; every call returns at once.
class AlarmSound {
  public:
    virtual ~AlarmSound() = default;
    // Starts the priority's sound, replacing any that plays: over and over until stop() when
    // `repeat`, once otherwise.
    virtual void play(AlarmPriority priority, bool repeat) = 0;
    virtual void stop() = 0;
    // Whether a sound started with `repeat` still plays (false once stopped).
    virtual bool playing() const = 0;
    // 0 to 100.
    virtual void setVolume(int percent) = 0;
    // Empty while sound can be made; otherwise why not ("нет звукового устройства"), said once
    // in the status bar by whoever shows the alarms, and the station goes on without sound.
    virtual QString trouble() const = 0;
};

}  // namespace terval
