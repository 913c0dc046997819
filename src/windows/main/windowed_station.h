#pragma once

#include <QDir>
#include <QLocale>

#include "alarms/alarm_settings.h"
#include "app/main_view_relay.h"
#include "service/station_assembly.h"
#include "sound/qt_alarm_sound.h"
#include "windows/main/form_main.h"

namespace terval {

// The station with its windows, in the order their lives need: the alarms' sound, the relay the
// core shows through, then the core over the real links, then the main window with its secondary
// windows. They go in the reverse order, so that the core outlives every window that refers to it
// and shows nothing once the window has gone, and the sound outlives the core that calls on it.
// main() owns one; the window tests build one as main() does.
class WindowedStation {
  public:
    WindowedStation(const QDir& folder, MessageSink& messages, const Clock& clock, QLocale locale,
                    PlantOptions plant = {}, DcsOptions dcs = {});
    ~WindowedStation();
    WindowedStation(const WindowedStation&) = delete;
    WindowedStation& operator=(const WindowedStation&) = delete;

    TFormMain& window() { return window_; }
    StationCore& core() { return station_.core(); }
    QtAlarmSound& sound() { return sound_; }
    // [alarms] of terval.ini as the station started with it.
    const AlarmSoundSettings& soundSettings() const { return alarmSettings_.settings; }

  private:
    AlarmSettingsLoad giveSound(const QDir& folder);

    QtAlarmSound sound_;
    MainViewRelay shownThrough_;
    StationAssembly station_;
    // Read, and handed to the core with the sound, before the window starts the core: the start
    // restores the alarms that stood at the last stop, and those that wait sound at once.
    AlarmSettingsLoad alarmSettings_;
    TFormMain window_;
};

}  // namespace terval
