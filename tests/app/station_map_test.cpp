#include <gtest/gtest.h>

#include <QFile>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "app/station_map_serving.h"
#include "modbus/register_map.h"
#include "support/rig.h"

namespace terval {
namespace {

using testing::Rig;
namespace sm = station_map;

uint32_t word32(const sm::StationMapImage& image, uint16_t high) {
    return uint32_t{image.words[high]} << 16 | image.words[high + 1];
}

// The station's map served to a test: what the companion handed over last.
struct Served {
    explicit Served(Rig& rig, bool serve = true)
        : serving(std::make_unique<StationMapServing>(
              rig.core(),
              [this](const sm::StationMapImage& i) {
                  image = i;
                  ++handed;
              },
              [serve] { return serve; })) {}
    sm::StationMapImage image;
    int handed = 0;
    std::unique_ptr<StationMapServing> serving;
};

struct MadeEvent {
    uint16_t address;
    uint16_t sign;
    qint64 relayTimeS;
    qint64 detectedS;
};

void makeEvent(Rig& rig, int relay, uint16_t sign, std::vector<MadeEvent>& made) {
    const QDateTime relayTime = rig.clock.time.addSecs(-30 - sign % 50);
    rig.station().journal.protectionEvent(relay, relayTime, sign, QStringLiteral("признак"),
                                          TripRecord{}, QStringLiteral("событие %1").arg(sign));
    made.push_back({rig.relay(relay).Address, sign, relayTime.toSecsSinceEpoch(),
                    rig.clock.time.toSecsSinceEpoch()});
}

// The queue holds the newest 64 of `made`, event s (counted from `first`) in slot (s − 1) mod 64.
void expectQueue(const sm::StationMapImage& image, const std::vector<MadeEvent>& made,
                 uint32_t first = 1) {
    const uint32_t newest = made.empty() ? 0 : first + static_cast<uint32_t>(made.size()) - 1;
    ASSERT_EQ(word32(image, sm::station::kEventSequenceHigh), newest);
    const size_t held = std::min<size_t>(made.size(), sm::kEventSlots);
    ASSERT_EQ(image.words[sm::station::kEventsHeld], static_cast<uint16_t>(held));
    for (int slot = 0; slot < sm::kEventSlots; ++slot) {
        SCOPED_TRACE(::testing::Message() << "slot " << slot);
        const uint16_t base = sm::eventSlot(slot);
        const uint32_t seq = word32(image, base + sm::event::kSequenceHigh);
        if (seq == 0) {
            // Empty only while fewer than 64 events were ever numbered.
            EXPECT_LT(newest, static_cast<uint32_t>(sm::kEventSlots));
            continue;
        }
        EXPECT_EQ((seq - 1) % sm::kEventSlots, static_cast<uint32_t>(slot));
        ASSERT_GE(seq, first);
        ASSERT_LE(seq, newest);
        EXPECT_GT(seq + sm::kEventSlots, newest) << "a slot kept an event 64 newer ones took";
        const MadeEvent& e = made[seq - first];
        EXPECT_EQ(image.words[base + sm::event::kAddress], e.address);
        EXPECT_EQ(image.words[base + sm::event::kSignCode], e.sign);
        EXPECT_EQ(word32(image, base + sm::event::kRelayTimeHigh), e.relayTimeS);
        EXPECT_EQ(word32(image, base + sm::event::kDetectedHigh), e.detectedS);
    }
}

// A random run of the station with the map beside it: answers with random status words, alarm
// levels read, protection events in bursts, relays deleted, the clock moving on, restarts. After
// every step the image handed over must say exactly what the station holds.
TEST(StationMapTest, ImageSaysWhatTheStationHoldsThroughARandomRun) {
    const unsigned seed = qEnvironmentVariableIsSet("TERVAL_MAP_SEED")
                              ? qEnvironmentVariable("TERVAL_MAP_SEED").toUInt()
                              : std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "replay with TERVAL_MAP_SEED=" << seed);
    std::mt19937 rng(seed);
    const auto pick = [&rng](int n) { return std::uniform_int_distribution<>(0, n - 1)(rng); };

    Rig rig(6, kLinkTcp, {}, JournalOptions{});
    auto served = std::make_unique<Served>(rig);
    rig.connect();

    struct Reading {
        QVector<uint16_t> words;
        qint64 atMs;
    };
    std::map<uint16_t, Reading> readings;
    std::map<uint16_t, std::pair<uint16_t, uint16_t>> levels;
    std::vector<MadeEvent> made;
    uint16_t heartbeat = 0;
    uint16_t sign = 0;

    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(::testing::Message() << "step " << step);
        const int what = pick(100);
        DeviceTable& table = rig.station().devices;
        if (what < 55) {
            if (rig.tickUntilSent() > 0) {
                const testing::Request r = rig.lastRequest();
                if (r.function == 3 && r.reg == registers::kStatusBlock) {
                    QVector<uint16_t> words(registers::kStatusCount, 0);
                    for (uint16_t& w : words) {
                        w = static_cast<uint16_t>(pick(65536));
                    }
                    rig.answerRead(words);
                    readings[static_cast<uint16_t>(r.unit)] = {words,
                                                               rig.clock.time.toMSecsSinceEpoch()};
                } else if (pick(4) != 0) {
                    rig.answerPlausibly();
                }
            }
        } else if (what < 70) {
            rig.clock.time = rig.clock.time.addMSecs(200 + pick(3000));
            rig.core().Timer1Timer();
            ++heartbeat;
        } else if (what < 78) {
            const int burst = pick(10) == 0 ? 70 : 1 + pick(3);
            for (int k = 0; k < burst && table.DeviceCount > 0; ++k) {
                makeEvent(rig, 1 + pick(table.DeviceCount), ++sign, made);
            }
        } else if (what < 84 && table.DeviceCount > 0) {
            const int relay = 1 + pick(table.DeviceCount);
            const auto s = static_cast<uint16_t>(pick(5000));
            const auto t = static_cast<uint16_t>(pick(5000));
            rig.station().journal.alarmLevelsRead(relay, s, t);
            levels[table.entry(relay).Address] = {s, t};
        } else if (what < 86 && table.DeviceCount > 1) {
            table.SelectedDevice = 1 + pick(table.DeviceCount);
            const uint16_t gone = table.entry(table.SelectedDevice).Address;
            rig.core().main.NDelObjectClick();
            table.SelectedDevice = 0;
            readings.erase(gone);
            levels.erase(gone);
        } else if (what < 87) {
            rig.clock.time = rig.clock.time.addSecs(70000);  // values grow old past 65535 s
        } else if (what < 88) {
            // The program closed and started again: the numbers go on, the levels were stored.
            served.reset();
            rig.restart();
            served = std::make_unique<Served>(rig);
            rig.connect();
            readings.clear();
            heartbeat = 0;
        }
        // Read anew: a restart makes another station.
        const DeviceTable& devices = rig.station().devices;
        const sm::StationMapImage& image = served->image;
        ASSERT_GT(served->handed, 0);
        // Every event is handed over at once, not only with the next second.
        expectQueue(image, made);
        if (what < 55 || what >= 88) {
            continue;  // only the events are handed over between seconds
        }
        if (what >= 70) {
            rig.core().Timer1Timer();
            ++heartbeat;
        }
        ASSERT_EQ(image.mapped.count(), 20u + 32u * 20u + 64u * 10u);
        EXPECT_EQ(image.words[sm::station::kHeartbeat], heartbeat);
        EXPECT_EQ(image.words[sm::station::kLinkState], static_cast<int>(rig.core().link.state()));
        EXPECT_EQ(image.words[sm::station::kRelayCount], devices.DeviceCount);
        EXPECT_EQ(image.words[sm::station::kUnacknowledged],
                  rig.core().alarms.unacknowledgedCount());
        EXPECT_EQ(word32(image, sm::station::kTimeHigh), rig.clock.time.toSecsSinceEpoch());
        EXPECT_EQ(image.words[sm::station::kVersion], sm::kMapVersion);
        for (int n = 1; n <= sm::kRelayTiles; ++n) {
            SCOPED_TRACE(::testing::Message() << "tile " << n);
            const uint16_t base = sm::relayBlock(n);
            const auto at = [&](uint16_t w) { return image.words[base + w]; };
            if (n > devices.DeviceCount) {
                for (uint16_t w = 0; w < sm::kRelayBlockSize; ++w) {
                    ASSERT_EQ(at(w), 0) << "word " << w << " of an empty tile";
                }
                continue;
            }
            const DeviceEntry& e = devices.entry(n);
            EXPECT_EQ(at(sm::relay::kListed), 1);
            EXPECT_EQ(at(sm::relay::kAddress), e.Address);
            const int state = rig.station().tile(n).state;
            EXPECT_EQ(at(sm::relay::kState), state == kTileEvent       ? 2
                                             : state == kTileAnswering ? 1
                                                                       : 0);
            EXPECT_EQ(word32(image, base + sm::relay::kGoodAnswersHigh), e.GoodAnswers);
            EXPECT_EQ(word32(image, base + sm::relay::kBadAnswersHigh), e.BadAnswers);
            const auto l = levels.find(e.Address);
            EXPECT_EQ(at(sm::relay::kSignalLevelKohm), l != levels.end() ? l->second.first : 65535);
            EXPECT_EQ(at(sm::relay::kTripLevelKohm), l != levels.end() ? l->second.second : 65535);
            const auto r = readings.find(e.Address);
            if (r == readings.end()) {
                EXPECT_EQ(at(sm::relay::kAgeSeconds), 65535);
                EXPECT_EQ(at(sm::relay::kInsulationKohm), 0);
                continue;
            }
            namespace st = registers::status;
            const QVector<uint16_t>& w = r->second.words;
            EXPECT_EQ(at(sm::relay::kInsulationKohm), w[st::kInsulationResistance]);
            EXPECT_EQ(at(sm::relay::kControlKohm), w[st::kControlResistance]);
            EXPECT_EQ(at(sm::relay::kExcitationDeciVolt), w[st::kExcitationVoltage]);
            EXPECT_EQ(at(sm::relay::kInjectedDeciVolt), w[st::kInjectedVoltage]);
            EXPECT_EQ(at(sm::relay::kStatusWord), w[st::kStatusRegister]);
            EXPECT_EQ(at(sm::relay::kSerialNumber), w[st::kSerialNumber]);
            EXPECT_EQ(at(sm::relay::kAgeSeconds),
                      std::min<qint64>(
                          65535, (rig.clock.time.toMSecsSinceEpoch() - r->second.atMs) / 1000));
            for (uint16_t w16 = 16; w16 < sm::kRelayBlockSize; ++w16) {
                EXPECT_EQ(at(w16), 0) << "reserved word " << w16;
            }
        }
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

// How the numbering survives a restart in every way the working folder can be left.
TEST(StationMapTest, NumbersGoOnAcrossRestartsWhateverTheFolderKept) {
    enum class Left { Everything, FileBehind, NoFile, BrokenFile, NoJournal, RunNotServed };
    struct Case {
        const char* name;
        Left left;
        int before;  // events before the restart
        int after;   // events after it
    };
    const Case cases[] = {
        {"file and journal", Left::Everything, 70, 3},
        {"file without the newest events (a crash)", Left::FileBehind, 10, 2},
        {"file lost: renumbered from the journal", Left::NoFile, 80, 1},
        {"file broken: renumbered, the operator told", Left::BrokenFile, 5, 1},
        {"journal trimmed away: the file alone", Left::NoJournal, 66, 2},
        {"a run that served nobody: its events follow from the journal", Left::RunNotServed, 4, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(3, kLinkTcp, {}, JournalOptions{});
        const QString file = rig.folder.dir().absoluteFilePath(MapEventQueue::kFileName);
        auto served = std::make_unique<Served>(rig);
        std::vector<MadeEvent> made;
        uint16_t sign = 0;
        QByteArray earlier;
        for (int k = 0; k < c.before; ++k) {
            rig.clock.time = rig.clock.time.addSecs(1);
            makeEvent(rig, 1 + k % 3, ++sign, made);
            rig.core().Timer1Timer();
            if (k == c.before - 3) {
                QFile f(file);
                ASSERT_TRUE(f.open(QIODevice::ReadOnly));
                earlier = f.readAll();
            }
        }
        served.reset();
        rig.core().stop();
        uint32_t first = 1;
        if (c.left == Left::FileBehind) {
            QFile f(file);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(earlier);
        } else if (c.left == Left::NoFile) {
            ASSERT_TRUE(QFile::remove(file));
            made.erase(made.begin(), made.end() - sm::kEventSlots);
        } else if (c.left == Left::BrokenFile) {
            QFile f(file);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write("terval modbus events 1\nnewest 5\n9 1 1 1 1 1\n");
        } else if (c.left == Left::NoJournal) {
            ASSERT_TRUE(QFile::remove(rig.folder.dir().absoluteFilePath("journal.db")));
        } else if (c.left == Left::RunNotServed) {
            const QByteArray kept = rig.folder.read(MapEventQueue::kFileName);
            rig.restart();
            served = std::make_unique<Served>(rig, false);
            for (int k = 0; k < 3; ++k) {
                rig.clock.time = rig.clock.time.addSecs(1);
                makeEvent(rig, 1 + k % 3, ++sign, made);
                rig.core().Timer1Timer();
            }
            EXPECT_EQ(served->handed, 0);
            EXPECT_EQ(rig.folder.read(MapEventQueue::kFileName), kept);
            served.reset();
            rig.core().stop();
        }
        rig.messages.messages.clear();
        rig.restart();
        served = std::make_unique<Served>(rig);
        EXPECT_EQ(rig.messages.texts().filter(QStringLiteral("не прочитан")).size(),
                  c.left == Left::BrokenFile ? 1 : 0);
        expectQueue(served->image, made, first);
        for (int k = 0; k < c.after; ++k) {
            rig.clock.time = rig.clock.time.addSecs(1);
            makeEvent(rig, 1 + k % 3, ++sign, made);
        }
        expectQueue(served->image, made, first);
    }
}

}  // namespace
}  // namespace terval
