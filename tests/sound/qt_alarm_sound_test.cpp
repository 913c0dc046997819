#include "sound/qt_alarm_sound.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sound/pulse_server.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using testing::PulseServer;
using testing::pumpUntil;
using testing::SinkRecorder;

// One round of the high call, as tools/alarm-sounds makes it.
constexpr qsizetype kRound = SinkRecorder::kRate * 8 / 10;
// The call at full volume peaks above 15000 on the sink; silence there is exactly 0.
constexpr int kLoud = 3000;
constexpr int kQuiet = 30;

// The sound on a real sound server, heard where it arrives: the null sink's monitor.
class AlarmSoundOnServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<PulseServer>();
        if (server_->start()) {
            server_->useInThisProcess();
        }
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(server_->errors().isEmpty()) << server_->errors().toStdString();
        sound_ = std::make_unique<QtAlarmSound>();
        ASSERT_EQ(sound_->trouble(), QString());
        sound_->setVolume(100);
        recorder_ = std::make_unique<SinkRecorder>(*server_);
        ASSERT_TRUE(recorder_->recording());
    }

    // Whether the sink hears the sound from sample `from` on.
    bool heardFrom(qsizetype from) {
        return pumpUntil([&] { return recorder_->peak(from, recorder_->samples()) > kLoud; }, 10s);
    }
    // Lets `samples` more reach the sink; the first of them.
    qsizetype record(qsizetype samples) {
        const qsizetype from = recorder_->samples();
        EXPECT_TRUE(pumpUntil([&] { return recorder_->samples() >= from + samples; }, 10s));
        return from;
    }

    static std::unique_ptr<PulseServer> server_;
    std::unique_ptr<QtAlarmSound> sound_;
    std::unique_ptr<SinkRecorder> recorder_;
};
std::unique_ptr<PulseServer> AlarmSoundOnServer::server_;

TEST_F(AlarmSoundOnServer, HighCallsUntilStoppedMediumChimesOnceAndANewAlarmSoundsAgain) {
    sound_->play(AlarmPriority::High, true);
    EXPECT_TRUE(sound_->playing());
    ASSERT_TRUE(heardFrom(0));
    EXPECT_EQ(server_->playingStreams(), 1);
    // Round after round, and a low alarm (no sound of its own) leaves it calling.
    sound_->play(AlarmPriority::Low, false);
    const qsizetype rounds = record(3 * kRound);
    for (int k = 0; k < 3; ++k) {
        EXPECT_GT(recorder_->peak(rounds + k * kRound, rounds + (k + 1) * kRound), kLoud)
            << "round " << k;
    }
    EXPECT_TRUE(sound_->playing());

    sound_->stop();
    EXPECT_FALSE(sound_->playing());
    EXPECT_FALSE(sound_->sounding());
    ASSERT_TRUE(pumpUntil([&] { return server_->playingStreams() == 0; }, 5s));
    const qsizetype after = record(2 * kRound);
    EXPECT_LT(recorder_->peak(after, after + 2 * kRound), kQuiet);

    // Once: heard, never counted as a call that plays on, and over by itself.
    const qsizetype chime = recorder_->samples();
    sound_->play(AlarmPriority::Medium, false);
    EXPECT_FALSE(sound_->playing());
    ASSERT_TRUE(heardFrom(chime));
    EXPECT_TRUE(pumpUntil([&] { return !sound_->sounding(); }, 5s));
    EXPECT_TRUE(pumpUntil([&] { return server_->playingStreams() == 0; }, 5s));
    const qsizetype quiet = record(kRound);
    EXPECT_LT(recorder_->peak(quiet, quiet + kRound), kQuiet);

    const qsizetype again = recorder_->samples();
    sound_->play(AlarmPriority::High, true);
    ASSERT_TRUE(heardFrom(again));
    EXPECT_TRUE(sound_->playing());
}

TEST_F(AlarmSoundOnServer, VolumeIsHeardInProportionAndZeroIsSilent) {
    sound_->play(AlarmPriority::High, true);
    ASSERT_TRUE(heardFrom(0));
    const qsizetype full = record(kRound);
    const int fullPeak = recorder_->peak(full, full + kRound);
    const struct {
        int percent;
        double least;
        double most;
    } cases[] = {{50, 0.25, 0.40}, {25, 0.07, 0.14}, {0, 0, 0.002}, {100, 0.95, 1.05}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.percent);
        sound_->setVolume(c.percent);
        // What was already on its way to the sink went at the volume before.
        record(kRound);
        const qsizetype from = record(kRound);
        const double share = static_cast<double>(recorder_->peak(from, from + kRound)) / fullPeak;
        EXPECT_GE(share, c.least);
        EXPECT_LE(share, c.most);
        EXPECT_TRUE(sound_->playing());
    }
}

TEST_F(AlarmSoundOnServer, ServerThatGoesIsTroubleOnceAndTheCallResumesWhenItComesBack) {
    std::vector<QString> told;
    sound_->setTroubleListener([&told](const QString& text) { told.push_back(text); });
    sound_->play(AlarmPriority::High, true);
    ASSERT_TRUE(heardFrom(0));
    server_->stop();
    const QString gone =
        QStringLiteral("Звуковое устройство перестало воспроизводить: аварийные сигналы без звука");
    EXPECT_TRUE(pumpUntil([&] { return !sound_->playing() && sound_->trouble() == gone; }, 5s));

    // Nobody plays it again: the alarm still waits, and its call comes back with the server.
    ASSERT_TRUE(server_->start()) << server_->errors().toStdString();
    recorder_ = std::make_unique<SinkRecorder>(*server_);
    ASSERT_TRUE(recorder_->recording());
    EXPECT_TRUE(heardFrom(0));
    EXPECT_TRUE(pumpUntil([&] { return sound_->trouble().isEmpty(); }, 5s));
    EXPECT_TRUE(sound_->playing());
    // Said once when it went and once when it came back, however often it was tried meanwhile.
    EXPECT_EQ(told, (std::vector<QString>{gone, QString()}));

    // Stopped, it is tried no more.
    sound_->stop();
    const qsizetype after = record(SinkRecorder::kRate * 4);
    EXPECT_LT(recorder_->peak(after + kRound, after + SinkRecorder::kRate * 4), kQuiet);
}

}  // namespace
}  // namespace terval
