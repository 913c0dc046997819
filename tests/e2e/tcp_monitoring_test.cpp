// The station's core with the real Qt TCP socket against relay-sim on loopback, in real time.
#include <gtest/gtest.h>
#include <functional>

#include "app/station_core.h"
#include "devices/device_editor.h"
#include "station_harness.h"

namespace terval {
namespace {

using testing::FakeMainView;
using testing::RecordingMessageSink;
using testing::RecordingSocket;
using testing::RelaySimProcess;
using testing::SimulatedLine;
using testing::StationHarness;
using testing::WorkFolder;

class TcpMonitoring : public ::testing::Test {
  protected:
    // relay-sim as relays 1 to `relays` on loopback.
    void startSimulator(int relays) {
        ASSERT_TRUE(line.start(kLinkTcp, QStringLiteral("1-%1").arg(relays)))
            << qPrintable(line.errors());
    }
    // The station with relays 1 to `relays`, connected to it.
    void connectStation(int relays) {
        QVector<int> addresses;
        for (int n = 1; n <= relays; ++n) {
            addresses << n;
        }
        line.connectStation(addresses);
        core = &station.core();
    }
    bool runFor(int ms, const std::function<bool()>& done = {}) { return station.runFor(ms, done); }
    const TileModel& tile(int i) { return station.tile(i); }
    const DeviceEntry& relay(int i) { return station.relay(i); }

    SimulatedLine line;
    StationHarness& station = line.station;
    RelaySimProcess& sim = line.sim;
    StationCore* core = nullptr;
    FakeMainView& view = station.view;
    RecordingMessageSink& messages = station.messages;
    RecordingSocket& socket = station.socket;
    WorkFolder& folder = station.folder;
};

TEST_F(TcpMonitoring, RelaysArePolledInTurnAndEventsReachTheLogAndTheDeviceList) {
    startSimulator(3);
    connectStation(3);
    ASSERT_TRUE(runFor(5000, [this] { return socket.sent.size() >= 12; }));
    EXPECT_TRUE(view.statusTexts.last().startsWith(QStringLiteral("Произошло подключение")));

    // 1, 1, 2, 2, 3, 3, 1, 1 ... with status block and newest protocol alternating.
    for (int i = 0; i < 12; ++i) {
        const QByteArray& frame = socket.sent[i];
        EXPECT_EQ(static_cast<int>(frame[6]), i / 2 % 3 + 1) << i;
        EXPECT_EQ(frame.mid(7, 5), i % 2 == 0 ? QByteArray::fromHex("0301000030")
                                              : QByteArray::fromHex("0310000020"))
            << i;
    }
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(tile(i).state, kTileEvent)
            << i;  // the newest stored protocol, never logged before
        EXPECT_TRUE(tile(i).valueVisible);
        EXPECT_GT(tile(i).value.toInt(), 0);
        EXPECT_EQ(relay(i).BadAnswers, 0u);
    }
    ASSERT_EQ(view.alarmLines.size(), 3);

    // A new event on demand: one more red line on top, remembered in gen.dat.
    const double before = relay(2).LastEventTime;
    ASSERT_TRUE(sim.command("event 2 4").startsWith("ok"));
    ASSERT_TRUE(runFor(5000, [this] { return view.alarmLines.size() == 4; }));
    EXPECT_TRUE(view.alarmLines.first().contains(QStringLiteral("Ген. 2,Обрыв цепи")))
        << qPrintable(view.alarmLines.first());
    EXPECT_TRUE(view.alarmNew.first());
    EXPECT_GT(relay(2).LastEventTime, before);
    EXPECT_EQ(loadDeviceFile(folder.dir()).table.entry(2).LastEventTime, relay(2).LastEventTime);

    // Polling a while longer finds nothing new.
    ASSERT_TRUE(station.advanceAnswered(15));
    EXPECT_EQ(view.alarmLines.size(), 4);
    EXPECT_TRUE(messages.messages.isEmpty());
}

TEST_F(TcpMonitoring, KilledSimulatorDropsTheTilesAndARestartedOneIsPolledAgain) {
    startSimulator(3);
    const int port = sim.tcpPort();
    connectStation(3);
    ASSERT_TRUE(runFor(5000, [this] {
        return tile(1).state != kTileNoAnswer && tile(2).state != kTileNoAnswer &&
               tile(3).state != kTileNoAnswer;
    }));
    ASSERT_EQ(socket.activations, 1);

    sim.kill();
    ASSERT_TRUE(runFor(4000, [this] {
        return tile(1).state == kTileNoAnswer && tile(2).state == kTileNoAnswer &&
               tile(3).state == kTileNoAnswer;
    }));
    EXPECT_TRUE(view.pollTimer);  // the scheduler keeps running
    EXPECT_TRUE(view.statusTexts.last().startsWith(QStringLiteral("Произошло отключение")));

    RelaySimProcess restarted;
    ASSERT_TRUE(
        restarted.start({"--tcp", QStringLiteral("127.0.0.1:%1").arg(port), "--relays", "1-3"}))
        << qPrintable(restarted.errors());
    // The connection is made again by itself at the next attempt, and polling goes on. (The
    // restarted simulator's history is a few seconds younger, so its newest protocol may count
    // as a new event.)
    ASSERT_TRUE(
        station.advanceSettled(300, [this] { return core->link.state() == LinkState::Open; }));
    ASSERT_TRUE(runFor(5000, [this] { return tile(3).state != kTileNoAnswer; }));
    EXPECT_GE(socket.activations, 2);
    EXPECT_TRUE(view.pollTimer);
    EXPECT_TRUE(messages.messages.isEmpty());
}

}  // namespace
}  // namespace terval
