#include <gtest/gtest.h>

#include "sound/pulse_server.h"
#include "sound/qt_alarm_sound.h"

namespace terval {
namespace {

using namespace std::chrono_literals;

// A station on a computer with no sound at all: the alarms go on without it, and the operator is
// told why once. Its own program, as Qt looks for the sound server once a process.
TEST(AlarmSoundWithoutServer, SaysThereIsNoDeviceAndGoesOnSilently) {
    // A server that was never started: its socket is not there.
    testing::PulseServer absent;
    absent.useInThisProcess();

    QtAlarmSound sound;
    EXPECT_EQ(sound.trouble(),
              QStringLiteral("Нет звукового устройства: аварийные сигналы без звука"));
    sound.setVolume(60);
    sound.play(AlarmPriority::High, true);
    EXPECT_FALSE(sound.playing());
    sound.play(AlarmPriority::Medium, false);
    EXPECT_FALSE(sound.sounding());
    sound.stop();
    sound.play(AlarmPriority::High, true);
    // Nor does anything turn up later from the event loop.
    testing::pumpUntil([] { return false; }, 300ms);
    EXPECT_FALSE(sound.playing());
    EXPECT_FALSE(sound.trouble().isEmpty());
}

}  // namespace
}  // namespace terval
