#pragma once

#include <QDir>
#include <QString>

#include "alarms/alarm_book.h"

namespace terval {

// [alarms] of terval.ini: `sound` (true or false) and `volume` (0 to 100).
struct AlarmSettingsLoad {
    AlarmSoundSettings settings;
    // Empty, or why a value was not taken; the default stands in for that value.
    QString error;
};

// A missing file, section or key gives the defaults; a file that cannot be read at all gives them
// silently, as the station's own settings already say so.
AlarmSettingsLoad loadAlarmSettings(const QDir& folder);

}  // namespace terval
