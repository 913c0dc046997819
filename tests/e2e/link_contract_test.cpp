// The same cases against both real links: Modbus TCP on loopback and Modbus RTU on a pty pair.
#include <gtest/gtest.h>

#include "station_harness.h"

namespace terval {
namespace {

using testing::RelaySimProcess;
using testing::SimulatedLine;
using testing::StationHarness;

class LinkContract : public ::testing::TestWithParam<uint16_t> {
  protected:
    // Relays 1 to 3 simulated on the link of the test's kind, the station connected to them and
    // every relay's newest protocol shown.
    void connect() {
        ASSERT_TRUE(line.connect(GetParam(), {1, 2, 3}, QStringLiteral("1-3")))
            << qPrintable(line.errors());
        ASSERT_TRUE(line.waitForTiles(3, kTileEvent, 5000));
    }
    int requestsSent() {
        return static_cast<int>(station.socket.sent.size() + station.serial.written.size());
    }

    SimulatedLine line;
    StationHarness& station = line.station;
    RelaySimProcess& sim = line.sim;
};

TEST_P(LinkContract, EveryRelayIsPolledAndAnswersAtTheTicksPace) {
    connect();
    const int before = requestsSent();
    // Twenty ticks, each with the relays' answer to what it sent: one request every other tick.
    ASSERT_TRUE(station.advanceAnswered(20));
    EXPECT_EQ(requestsSent() - before, 10);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(station.relay(i).BadAnswers, 0u) << i;
        EXPECT_GE(station.relay(i).GoodAnswers + 1, station.relay(i).RequestsSent) << i;
    }
}

TEST_P(LinkContract, SilentRelayTimesOutAndTheOthersAreStillPolled) {
    connect();
    ASSERT_TRUE(sim.command("silent 2 on").startsWith("ok"));
    ASSERT_TRUE(station.advanceAnswered(60, {2},
                                        [this] { return station.tile(2).state == kTileNoAnswer; }));
    const uint32_t good1 = station.relay(1).GoodAnswers;
    const uint32_t good3 = station.relay(3).GoodAnswers;
    ASSERT_TRUE(station.advanceAnswered(30, {2}));
    EXPECT_GT(station.relay(1).GoodAnswers, good1);
    EXPECT_GT(station.relay(3).GoodAnswers, good3);
    EXPECT_EQ(station.tile(2).state, kTileNoAnswer);
    // Every request to the silent relay ended in a timeout, but for the one in flight.
    const DeviceEntry& silent = station.relay(2);
    EXPECT_LE(silent.RequestsSent - silent.GoodAnswers - silent.BadAnswers, 1u);
    EXPECT_GE(silent.BadAnswers, 2u);
    // Only its tile is grey, and by the station's clock its last answer is as old as the
    // silence.
    EXPECT_TRUE(station.view.tiles.at(2).stale);
    EXPECT_FALSE(station.view.tiles.at(1).stale);
    EXPECT_FALSE(station.view.tiles.at(3).stale);
    EXPECT_GE(station.tile(2).lastAnswer.msecsTo(station.clock.now()),
              30 * StationHarness::kTickMs);
    ASSERT_TRUE(sim.command("silent 2 off").startsWith("ok"));
    // Answering again, it shows its event that nobody has looked at yet, not "НОРМА".
    EXPECT_TRUE(station.runFor(4000, [this] { return station.tile(2).state == kTileEvent; }));
}

TEST_P(LinkContract, DisconnectClosesTheLinkAndEveryTileShowsNoAnswer) {
    connect();
    station.core().link.NConnectingClick();
    ASSERT_TRUE(station.runFor(2000, [this] { return !station.core().station.linkUp; }));
    EXPECT_TRUE(station.allTiles(3, kTileNoAnswer));
    EXPECT_FALSE(station.view.pollTimer);
    const int sent = requestsSent();
    station.advanceTicks(50);
    EXPECT_EQ(requestsSent(), sent);
    // And it opens again, the events still unacknowledged.
    station.core().link.NConnectingClick();
    EXPECT_TRUE(station.runFor(5000, [this] { return station.tile(1).state == kTileEvent; }));
}

// A relay that refuses a read has not answered it: one refusal is one bad answer, and the tile
// shows no answer until the next read. While it refuses, the tile keeps the last value read, and
// the new one shows once the relay answers again.
TEST_P(LinkContract, ExceptionResponseEndsInATimeoutAndLeavesTheTileValue) {
    connect();
    ASSERT_TRUE(sim.command("set 2 0x011B 500").startsWith("ok"));
    ASSERT_TRUE(
        station.runFor(5000, [this] { return station.tile(2).value == QStringLiteral("500"); }));
    uint32_t bad = station.relay(2).BadAnswers;
    ASSERT_TRUE(sim.command("exception 2 1").startsWith("ok"));
    ASSERT_TRUE(station.runFor(4000, [this] { return station.tile(2).state == kTileNoAnswer; }));
    EXPECT_EQ(station.relay(2).BadAnswers, bad + 1);
    EXPECT_TRUE(station.runFor(4000, [this] { return station.tile(2).state == kTileEvent; }));

    ASSERT_TRUE(sim.command("exception 2 on").startsWith("ok"));
    ASSERT_TRUE(sim.command("set 2 0x011B 900").startsWith("ok"));
    bad = station.relay(2).BadAnswers;
    ASSERT_TRUE(station.advanceAnswered(20));
    EXPECT_EQ(station.tile(2).value, QStringLiteral("500"));
    EXPECT_GT(station.relay(2).BadAnswers, bad);
    EXPECT_EQ(station.relay(1).BadAnswers, 0u);
    ASSERT_TRUE(sim.command("exception 2 off").startsWith("ok"));
    EXPECT_TRUE(
        station.runFor(3000, [this] { return station.tile(2).value == QStringLiteral("900"); }));
}

INSTANTIATE_TEST_SUITE_P(BothLinks, LinkContract, ::testing::Values(kLinkTcp, kLinkRs485),
                         testing::linkTypeName);

}  // namespace
}  // namespace terval
