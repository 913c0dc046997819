#pragma once

#include <QString>
#include <memory>

#include "alarms/alarm_sound.h"

class QSoundEffect;

namespace terval {

// The alarms' sound through Qt Multimedia, from the sounds the build generated and embedded: the
// high priority's two-tone call, the medium priority's chime; the low priority has none. Playing
// goes through the sound server on its own thread, so no call waits for the audio device.
//
// A station without an audio device (no sound server, no card, a server that went away) still
// raises and shows every alarm: the sound is then left out and trouble() says why. A device that
// appears later is taken up by the next alarm that sounds.
class QtAlarmSound final : public AlarmSound {
  public:
    QtAlarmSound();
    ~QtAlarmSound() override;
    QtAlarmSound(const QtAlarmSound&) = delete;
    QtAlarmSound& operator=(const QtAlarmSound&) = delete;

    void play(AlarmPriority priority, bool repeat) override;
    void stop() override;
    bool playing() const override;
    void setVolume(int percent) override;
    QString trouble() const override;

    // Whether any sound goes out now, a repeating one or one played once that has not ended.
    bool sounding() const;

  private:
    // Makes the effects once an audio output is there; false (and trouble set) while none is.
    bool ready();
    void watch(QSoundEffect& effect);
    void applyVolume();

    std::unique_ptr<QSoundEffect> high_;
    std::unique_ptr<QSoundEffect> medium_;
    // The effect last started, and whether over and over.
    QSoundEffect* current_ = nullptr;
    bool repeating_ = false;
    // Set while this class itself stops an effect, so that the stop is not taken for a failure.
    bool stopping_ = false;
    int volumePercent_ = 80;
    QString trouble_;
};

}  // namespace terval
