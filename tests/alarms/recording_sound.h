#pragma once

#include <utility>
#include <vector>

#include "alarms/alarm_sound.h"

namespace terval::testing {

// The station's speaker as the tests hear it: what was played, and whether a repeating sound
// still calls.
class RecordingSound final : public AlarmSound {
  public:
    void play(AlarmPriority priority, bool repeat) override {
        plays.push_back({priority, repeat});
        repeating = repeat;
    }
    void stop() override { repeating = false; }
    bool playing() const override { return repeating; }
    void setVolume(int percent) override { volume = percent; }
    QString trouble() const override { return {}; }

    std::vector<std::pair<AlarmPriority, bool>> plays;
    bool repeating = false;
    int volume = -1;
};

}  // namespace terval::testing
