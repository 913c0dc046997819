// The station's core with the real Qt TCP socket against relay-sim on loopback, in real time.
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTimer>
#include <functional>

#include "app/station_core.h"
#include "devices/device_editor.h"
#include "io/serial_link.h"
#include "io/tcp_link.h"
#include "poll/event_detection.h"
#include "relay_sim_process.h"
#include "station_harness.h"
#include "support/fakes.h"

namespace terval {
namespace {

using testing::FakeMainView;
using testing::RecordingMessageSink;
using testing::RecordingSocket;
using testing::RelaySimProcess;
using testing::StationHarness;
using testing::WorkFolder;

class TcpMonitoring : public ::testing::Test {
  protected:
    void startStation(int relays, int port) {
        ConnectionConfig config;
        config.LinkType = kLinkTcp;
        config.ipAddress = {127, 0, 0, 1};
        config.tcpPort = static_cast<uint16_t>(port);
        QVector<int> addresses;
        for (int n = 1; n <= relays; ++n) {
            addresses << n;
        }
        station.start(addresses, config);
        core = &station.core();
    }
    bool runFor(int ms, const std::function<bool()>& done = {}) { return station.runFor(ms, done); }
    const TileModel& tile(int i) { return station.tile(i); }
    const DeviceEntry& relay(int i) { return station.relay(i); }

    StationHarness station;
    StationCore* core = nullptr;
    FakeMainView& view = station.view;
    RecordingMessageSink& messages = station.messages;
    RecordingSocket& socket = station.socket;
    WorkFolder& folder = station.folder;
    RelaySimProcess sim;
};

TEST_F(TcpMonitoring, RelaysArePolledInTurnAndEventsReachTheLogAndTheDeviceList) {
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1-3"})) << qPrintable(sim.errors());
    startStation(3, sim.tcpPort());
    core->link.NConnectingClick();
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
    runFor(1500);
    EXPECT_EQ(view.alarmLines.size(), 4);
    EXPECT_TRUE(messages.messages.isEmpty());
}

TEST_F(TcpMonitoring, KilledSimulatorDropsTheTilesAndARestartedOneIsPolledAgain) {
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1-3"})) << qPrintable(sim.errors());
    const int port = sim.tcpPort();
    startStation(3, port);
    core->link.NConnectingClick();
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
    // The connection is made again by itself, and polling goes on. (The restarted simulator's
    // history is a few seconds younger, so its newest protocol may count as a new event.)
    ASSERT_TRUE(runFor(15000, [this] { return tile(3).state != kTileNoAnswer; }));
    EXPECT_GE(socket.activations, 2);
    EXPECT_TRUE(view.pollTimer);
    EXPECT_TRUE(messages.messages.isEmpty());
}

TEST_F(TcpMonitoring, ExceptionResponseDoesNotChangeTheTileValue) {
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1,2"})) << qPrintable(sim.errors());
    ASSERT_TRUE(sim.command("set 2 0x011B 500").startsWith("ok"));
    startStation(2, sim.tcpPort());
    core->link.NConnectingClick();
    ASSERT_TRUE(runFor(5000, [this] { return tile(2).value == QStringLiteral("500"); }));

    ASSERT_TRUE(sim.command("exception 2 on").startsWith("ok"));
    ASSERT_TRUE(sim.command("set 2 0x011B 900").startsWith("ok"));
    const uint32_t bad = relay(2).BadAnswers;
    runFor(2000);
    EXPECT_EQ(tile(2).value, QStringLiteral("500"));
    EXPECT_GT(relay(2).BadAnswers, bad);
    EXPECT_EQ(relay(1).BadAnswers, 0u);

    ASSERT_TRUE(sim.command("exception 2 off").startsWith("ok"));
    EXPECT_TRUE(runFor(3000, [this] { return tile(2).value == QStringLiteral("900"); }));
}

}  // namespace
}  // namespace terval
