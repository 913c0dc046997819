// The station's core with the real QSerialPort against relay-sim on a socat pty pair.
#include <gtest/gtest.h>

#include "station_harness.h"

namespace terval {
namespace {

using testing::RelaySimProcess;
using testing::SimulatedLine;
using testing::StationHarness;

class SerialLink : public ::testing::Test {
  protected:
    // The station's COM3 is a link in its working folder to one end of the pair; relay-sim
    // answers on the other end as the relays `simRelays`.
    void start(uint16_t linkType, const QVector<int>& addresses, const QString& simRelays) {
        ASSERT_TRUE(line.connect(linkType, addresses, simRelays, QStringLiteral("COM3")))
            << qPrintable(line.errors());
        ASSERT_TRUE(station.core().station.linkUp);
    }
    // The RTU frames the station wrote to relay `address`.
    int framesTo(int address) {
        int n = 0;
        for (const QByteArray& f : station.serial.written) {
            n += static_cast<uint8_t>(f[0]) == address;
        }
        return n;
    }

    SimulatedLine line;
    StationHarness& station = line.station;
    RelaySimProcess& sim = line.sim;
};

TEST_F(SerialLink, Rs485PollsEveryRelayAtItsOwnAddress) {
    start(kLinkRs485, {1, 5, 9}, "1,5,9");
    EXPECT_TRUE(station.view.portOpen);
    ASSERT_TRUE(station.runFor(6000, [this] { return station.allTiles(3, kTileEvent); }));
    for (int i = 1; i <= 3; ++i) {
        EXPECT_GT(station.relay(i).GoodAnswers, 1u) << i;
        EXPECT_EQ(station.relay(i).BadAnswers, 0u) << i;
        EXPECT_TRUE(station.tile(i).valueVisible);
    }
    EXPECT_GT(framesTo(5), 1);
    EXPECT_GT(framesTo(9), 1);
    for (const QByteArray& f : station.serial.written) {
        EXPECT_EQ(f.size(), 8);
    }
}

TEST_F(SerialLink, Rs232SendsEveryRequestToAddressOne) {
    // The table's relay is at address 7; on a point-to-point line the relay at address 1 answers.
    start(kLinkRs232, {7}, "1");
    ASSERT_TRUE(station.runFor(4000, [this] { return station.tile(1).state == kTileEvent; }));
    EXPECT_EQ(framesTo(7), 0);
    EXPECT_EQ(framesTo(1), station.serial.written.size());
    EXPECT_EQ(station.serial.written.first(), QByteArray::fromHex("0103010000304422"));
    EXPECT_EQ(station.relay(1).BadAnswers, 0u);
}

TEST_F(SerialLink, AnswerInTwoPiecesIsAcceptedOnce) {
    start(kLinkRs485, {1}, "1");
    ASSERT_TRUE(sim.command("split 1 on 60").startsWith("ok"));
    // Thirty ticks, each with the whole of the answer it asked for, however it came.
    ASSERT_TRUE(station.advanceAnswered(30));
    const DeviceEntry& r = station.relay(1);
    EXPECT_GE(r.GoodAnswers, 4u);
    EXPECT_EQ(r.BadAnswers, 0u);
    // Every request sent has had exactly one answer, or is the one still in flight.
    EXPECT_GE(r.GoodAnswers + 1, r.RequestsSent);
    EXPECT_LE(r.GoodAnswers, r.RequestsSent);
}

TEST_F(SerialLink, BadCrcCountsOneBadAnswerAndTheSameRequestGoesOutAgain) {
    // One relay, so that even a rejected status block is asked again of the same relay.
    start(kLinkRs485, {1}, "1");
    ASSERT_TRUE(station.runFor(4000, [this] { return station.tile(1).state == kTileEvent; }));
    const qsizetype before = station.serial.written.size();
    ASSERT_TRUE(sim.command("badcrc 1 1").startsWith("ok"));
    ASSERT_TRUE(station.runFor(3000, [this] { return station.relay(1).BadAnswers == 1; }));
    ASSERT_TRUE(station.advanceAnswered(10));
    EXPECT_EQ(station.relay(1).BadAnswers, 1u);
    // Some request went out twice in a row: the rejected one, sent again at once.
    const QList<QByteArray>& w = station.serial.written;
    int repeats = 0;
    for (qsizetype i = std::max<qsizetype>(before - 1, 0); i + 1 < w.size(); ++i) {
        repeats += w[i] == w[i + 1];
    }
    EXPECT_EQ(repeats, 1);
    EXPECT_EQ(station.tile(1).state, kTileEvent);  // no timeout happened
}

TEST_F(SerialLink, MissingPortShowsTheMessageAndLeavesTheLinkClosed) {
    ConnectionConfig config;
    config.LinkType = kLinkRs485;
    config.portName = QStringLiteral("COM96");  // no link in the folder, no /dev/ttyS95
    station.start({1}, config);
    station.core().link.NConnectingClick();
    ASSERT_EQ(station.messages.messages.size(), 1);
    EXPECT_EQ(station.messages.messages[0].text, QStringLiteral("Не могу открыть СОМ порт"));
    EXPECT_EQ(station.messages.messages[0].caption, QStringLiteral("Ошибка СОМ порта"));
    EXPECT_FALSE(station.core().station.linkUp);
    EXPECT_FALSE(station.view.pollTimer);
    EXPECT_FALSE(station.view.portOpen);
}

TEST_F(SerialLink, DisconnectWhileAnAnswerIsAwaitedClosesAfterIt) {
    start(kLinkRs485, {1, 2}, "1,2");
    ASSERT_TRUE(station.runFor(4000, [this] { return station.allTiles(2, kTileEvent); }));
    ASSERT_TRUE(sim.command("late all 400 on").startsWith("ok"));
    // Wait for a request to go out, then choose "Отключиться".
    const qsizetype sent = station.serial.written.size();
    ASSERT_TRUE(station.runFor(2000, [&] { return station.serial.written.size() > sent; }));
    const uint32_t good = station.relay(1).GoodAnswers + station.relay(2).GoodAnswers;
    station.core().link.NConnectingClick();
    ASSERT_TRUE(station.runFor(3000, [this] { return !station.core().station.linkUp; }));
    // The late answer arrived before the close, and nothing more was sent.
    EXPECT_EQ(station.relay(1).GoodAnswers + station.relay(2).GoodAnswers, good + 1);
    EXPECT_EQ(station.serial.written.size(), sent + 1);
    EXPECT_TRUE(station.allTiles(2, kTileNoAnswer));
    EXPECT_FALSE(station.serial.isActive());
    EXPECT_FALSE(station.view.portOpen);
    EXPECT_FALSE(station.view.connectCaptionUp);
}

}  // namespace
}  // namespace terval
