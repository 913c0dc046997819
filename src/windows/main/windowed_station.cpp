#include "windows/main/windowed_station.h"

namespace terval {

WindowedStation::WindowedStation(const QDir& folder, MessageSink& messages, const Clock& clock,
                                 QLocale locale, PlantOptions plant, DcsOptions dcs)
    : station_(folder, shownThrough_, messages, clock, std::move(locale), std::move(plant),
               std::move(dcs)),
      alarmSettings_(giveSound(folder)),
      window_(station_.core(), shownThrough_, messages, clock) {
    // With the station's other start-up messages, which the window's start has just told.
    if (!alarmSettings_.error.isEmpty()) {
        messages.showMessage(MessageIcon::Error, alarmSettings_.error);
    }
    // A station without an audio device says so in the status bar, and again when it changes.
    if (alarmSettings_.settings.enabled) {
        window_.showSoundTrouble(sound_.trouble());
        sound_.setTroubleListener([this](const QString& text) { window_.showSoundTrouble(text); });
    }
}

WindowedStation::~WindowedStation() {
    // The sound outlives the window it tells.
    sound_.setTroubleListener({});
}

AlarmSettingsLoad WindowedStation::giveSound(const QDir& folder) {
    AlarmSettingsLoad load = loadAlarmSettings(folder);
    AlarmBook& alarms = station_.core().alarms;
    alarms.setSoundSettings(load.settings);
    // Sound turned off in the settings makes none, and so has no trouble to tell.
    alarms.setSound(load.settings.enabled ? &sound_ : nullptr);
    return load;
}

}  // namespace terval
