#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "alarms/alarm_sound.h"

class QSoundEffect;
class QTimer;

namespace terval {

// The alarms' sound through Qt Multimedia, from the sounds the build generated and embedded: the
// high priority's two-tone call, the medium priority's chime; the low priority has none. Playing
// goes through the sound server on its own thread, so no call waits for the audio device.
//
// A station without an audio device (no sound server, no card, a server that went away) still
// raises and shows every alarm: the sound is then left out and trouble() says why. A repeating
// call that cannot go out is tried again every few seconds until it is stopped, so that a device
// that comes (back) calls for the alarm that still waits; the trouble ends once a call is heard
// going out again.
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
    // Told with the new text whenever trouble() changes: the sound lost (no device, a device that
    // went, a sound that would not load) or back again (empty). Trouble met while playing comes
    // after the call that played, from the event loop.
    void setTroubleListener(std::function<void(const QString&)> listener);

  private:
    // The effects, made (again) when they are missing or broken and an audio output is there;
    // false (and trouble said) while there is none.
    bool ready();
    void watch(QSoundEffect& effect);
    void applyVolume();
    void setTrouble(const QString& text);
    // The device gave up: the effects are made anew for the next sound, and the call is tried
    // again later unless stopped before.
    void failed(const QString& why);

    std::unique_ptr<QSoundEffect> high_;
    std::unique_ptr<QSoundEffect> medium_;
    // Qt keeps a failed effect failed, and one whose device went silent, whatever the device
    // does since.
    bool broken_ = false;
    // The effect last started, and whether over and over.
    QSoundEffect* current_ = nullptr;
    bool repeating_ = false;
    // Set while this class itself stops an effect, so that the stop is not taken for a failure.
    bool stopping_ = false;
    // The repeating call asked for and not stopped, whether it goes out or not.
    std::optional<AlarmPriority> callWanted_;
    // Tries the wanted call again.
    std::unique_ptr<QTimer> retry_;
    // A call still going out a moment after it started is heard: the trouble is over.
    std::unique_ptr<QTimer> confirm_;
    int volumePercent_ = 80;
    QString trouble_;
    std::function<void(const QString&)> troubleListener_;
};

}  // namespace terval
