#include <gtest/gtest.h>

#include <QFile>
#include <QtEndian>
#include <cmath>
#include <numbers>
#include <vector>

namespace terval {
namespace {

struct Sound {
    QByteArray header;
    std::vector<int16_t> samples;
};

Sound readSound(const QString& name) {
    QFile file(QStringLiteral(":/terval/sounds/") + name);
    Sound sound;
    if (!file.open(QIODevice::ReadOnly)) {
        return sound;
    }
    const QByteArray bytes = file.readAll();
    sound.header = bytes.left(44);
    for (qsizetype i = 44; i + 1 < bytes.size(); i += 2) {
        sound.samples.push_back(qFromLittleEndian<int16_t>(bytes.constData() + i));
    }
    return sound;
}

// The strength of `hertz` in samples [from, to) (Goertzel), to tell which tone sounds where.
double strength(const std::vector<int16_t>& samples, double hertz, size_t from, size_t to) {
    const double k = 2 * std::cos(2 * std::numbers::pi * hertz / 44100);
    double s1 = 0;
    double s2 = 0;
    for (size_t i = from; i < to && i < samples.size(); ++i) {
        const double s0 = samples[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - k * s1 * s2;
}

size_t at(double seconds) {
    return static_cast<size_t>(seconds * 44100);
}

// The sounds the build generated and embedded: PCM a sound server plays as it is, loud without
// clipping, edges that do not click (so the high call loops seamlessly), and the tones in their
// order.
TEST(AlarmSounds, AreCleanPcmWithTheirTonesInOrder) {
    const struct {
        const char* name;
        double seconds;
        // Two tones, the first sounding around `firstAt` s, the second around `secondAt` s.
        double first;
        double firstAt;
        double second;
        double secondAt;
    } cases[] = {
        {"alarm_high.wav", 0.80, 880.0, 0.13, 587.33, 0.38},
        {"alarm_medium.wav", 1.17, 987.77, 0.15, 783.99, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Sound sound = readSound(QString::fromLatin1(c.name));
        ASSERT_EQ(sound.header.size(), 44);
        const auto u32 = [&](int offset) {
            return qFromLittleEndian<uint32_t>(sound.header.constData() + offset);
        };
        const auto u16 = [&](int offset) {
            return qFromLittleEndian<uint16_t>(sound.header.constData() + offset);
        };
        const uint32_t dataBytes = static_cast<uint32_t>(sound.samples.size() * 2);
        EXPECT_EQ(sound.header.mid(0, 4), "RIFF");
        EXPECT_EQ(u32(4), 36 + dataBytes);
        EXPECT_EQ(sound.header.mid(8, 8), "WAVEfmt ");
        EXPECT_EQ(u32(16), 16u);     // fmt chunk size
        EXPECT_EQ(u16(20), 1);       // PCM
        EXPECT_EQ(u16(22), 1);       // mono
        EXPECT_EQ(u32(24), 44100u);  // rate
        EXPECT_EQ(u32(28), 88200u);  // bytes a second
        EXPECT_EQ(u16(32), 2);       // bytes a frame
        EXPECT_EQ(u16(34), 16);      // bits a sample
        EXPECT_EQ(sound.header.mid(36, 4), "data");
        EXPECT_EQ(u32(40), dataBytes);
        EXPECT_NEAR(static_cast<double>(sound.samples.size()) / 44100, c.seconds, 0.01);

        int peak = 0;
        int jump = 0;
        for (size_t i = 0; i < sound.samples.size(); ++i) {
            peak = std::max(peak, std::abs(int{sound.samples[i]}));
            if (i > 0) {
                jump = std::max(jump, std::abs(sound.samples[i] - sound.samples[i - 1]));
            }
        }
        EXPECT_GT(peak, 12000);
        EXPECT_LT(peak, 32000);
        // These tones, under 1 kHz with their third harmonic, move at most some 4500 from one
        // sample to the next; a click is a step of the whole peak.
        EXPECT_LT(jump, 6000);
        // Silent at both ends, so that the loop's seam and a sound's start and end are quiet.
        for (const size_t i :
             {size_t{0}, size_t{1}, sound.samples.size() - 2, sound.samples.size() - 1}) {
            EXPECT_LT(std::abs(int{sound.samples[i]}), 50) << "sample " << i;
        }

        const size_t half = at(0.05);
        const size_t firstFrom = at(c.firstAt) - half, firstTo = at(c.firstAt) + half;
        const size_t secondFrom = at(c.secondAt) - half, secondTo = at(c.secondAt) + half;
        EXPECT_GT(strength(sound.samples, c.first, firstFrom, firstTo),
                  10 * strength(sound.samples, c.second, firstFrom, firstTo));
        EXPECT_GT(strength(sound.samples, c.second, secondFrom, secondTo),
                  10 * strength(sound.samples, c.first, secondFrom, secondTo));
    }
}

}  // namespace
}  // namespace terval
