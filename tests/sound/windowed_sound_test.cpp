#include <gtest/gtest.h>

#include <QDateTime>
#include <memory>

#include "sound/pulse_server.h"
#include "support/fakes.h"
#include "windows/main/windowed_station.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using testing::PulseServer;
using testing::pumpUntil;
using testing::RecordingMessageSink;
using testing::SinkRecorder;
using testing::WorkFolder;

// The station with windows makes its sound as terval.ini says, heard on a sound server of the
// test's own: a standing link alarm restored at start calls until the operator silences it.
TEST(WindowedStationSound, CallsAsTerValIniSaysAndStopsWhenSilenced) {
    PulseServer server;
    ASSERT_TRUE(server.start()) << server.errors().toStdString();
    server.useInThisProcess();
    const struct {
        const char* ini;  // nullptr: no terval.ini
        bool heard;
        const char* message;
    } cases[] = {
        {nullptr, true, nullptr},
        {"[alarms]\nsound=false\n", false, nullptr},
        {"[alarms]\nvolume=громко\n", true,
         "В файле terval.ini, раздел [alarms]: volume=громко не число от 0 до 100; громкость 80."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini == nullptr ? "no terval.ini" : c.ini);
        WorkFolder folder;
        folder.addPictures();
        if (c.ini != nullptr) {
            folder.write(QStringLiteral("terval.ini"), c.ini);
        }
        RecordingMessageSink messages;
        testing::FixedClock clock{QDateTime(QDate(2026, 12, 8), QTime(6, 30, 0))};
        auto windowed = std::make_unique<WindowedStation>(folder.dir(), messages, clock,
                                                          QLocale(QLocale::Russian));
        EXPECT_EQ(messages.texts().contains(QString::fromUtf8(c.message)), c.message != nullptr)
            << messages.texts().join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(windowed->sound().trouble(), QString());

        SinkRecorder recorder(server);
        ASSERT_TRUE(recorder.recording());
        Alarm link;
        link.kind = AlarmKind::LinkLost;
        link.state = AlarmState::ActiveUnacknowledged;
        link.raisedAtMs = clock.now().toMSecsSinceEpoch();
        link.text = QStringLiteral("Нет связи");
        windowed->core().alarms.restore({link});
        const auto heard = [&] { return recorder.peak(0, recorder.samples()) > 3000; };
        if (c.heard) {
            EXPECT_TRUE(pumpUntil(heard, 10s));
            EXPECT_TRUE(windowed->sound().playing());
            windowed->core().alarms.silence();
            EXPECT_FALSE(windowed->sound().playing());
        } else {
            // As long as a call would take to be heard with the sound on.
            EXPECT_FALSE(pumpUntil(heard, 3s));
            EXPECT_FALSE(windowed->sound().sounding());
        }
        EXPECT_TRUE(pumpUntil([&] { return server.playingStreams() == 0; }, 5s));
        windowed.reset();
    }
}

}  // namespace
}  // namespace terval
