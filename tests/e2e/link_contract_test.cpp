// The same cases against both real links: Modbus TCP on loopback and Modbus RTU on a pty pair.
#include <gtest/gtest.h>
#include <QTemporaryDir>

#include "relay_sim_process.h"
#include "station_harness.h"

namespace terval {
namespace {

using testing::PtyPair;
using testing::RelaySimProcess;
using testing::StationHarness;

class LinkContract : public ::testing::TestWithParam<uint16_t> {
  protected:
    // Relays 1 to 3 simulated on the link of the test's kind, and the station connected to them.
    void connect() {
        ConnectionConfig config;
        ASSERT_TRUE(testing::startSimulatedLine(GetParam(), QStringLiteral("1-3"), sim, pty, line,
                                                station.folder, config))
            << qPrintable(sim.errors());
        station.start({1, 2, 3}, config);
        station.core().link.NConnectingClick();
    }
    int requestsSent() {
        return static_cast<int>(station.socket.sent.size() + station.serial.written.size());
    }

    QTemporaryDir line;
    PtyPair pty;
    StationHarness station;
    RelaySimProcess sim;
};

TEST_P(LinkContract, EveryRelayIsPolledAndAnswersAtTheTicksPace) {
    connect();
    ASSERT_TRUE(station.runFor(5000, [this] { return station.allTiles(3, kTileEvent); }));
    const int before = requestsSent();
    station.runFor(2000);
    // One request every other tick: ten in two seconds, never more (a loaded machine may
    // deliver a tick late, never early).
    EXPECT_GE(requestsSent() - before, 6);
    EXPECT_LE(requestsSent() - before, 11);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(station.relay(i).BadAnswers, 0u) << i;
        EXPECT_GE(station.relay(i).GoodAnswers + 1, station.relay(i).RequestsSent) << i;
    }
}

TEST_P(LinkContract, SilentRelayTimesOutAndTheOthersAreStillPolled) {
    connect();
    ASSERT_TRUE(station.runFor(5000, [this] { return station.allTiles(3, kTileEvent); }));
    ASSERT_TRUE(sim.command("silent 2 on").startsWith("ok"));
    ASSERT_TRUE(station.runFor(4000, [this] { return station.tile(2).state == kTileNoAnswer; }));
    const uint32_t good1 = station.relay(1).GoodAnswers;
    const uint32_t good3 = station.relay(3).GoodAnswers;
    station.runFor(3000);
    EXPECT_GT(station.relay(1).GoodAnswers, good1);
    EXPECT_GT(station.relay(3).GoodAnswers, good3);
    EXPECT_EQ(station.tile(2).state, kTileNoAnswer);
    // Every request to the silent relay ended in a timeout, but for the one in flight.
    const DeviceEntry& silent = station.relay(2);
    EXPECT_LE(silent.RequestsSent - silent.GoodAnswers - silent.BadAnswers, 1u);
    EXPECT_GE(silent.BadAnswers, 2u);
    ASSERT_TRUE(sim.command("silent 2 off").startsWith("ok"));
    EXPECT_TRUE(station.runFor(4000, [this] { return station.tile(2).state == kTileAnswering; }));
}

TEST_P(LinkContract, DisconnectClosesTheLinkAndEveryTileShowsNoAnswer) {
    connect();
    ASSERT_TRUE(station.runFor(5000, [this] { return station.allTiles(3, kTileEvent); }));
    station.core().link.NConnectingClick();
    ASSERT_TRUE(station.runFor(2000, [this] { return !station.core().station.linkUp; }));
    EXPECT_TRUE(station.allTiles(3, kTileNoAnswer));
    EXPECT_FALSE(station.view.pollTimer);
    const int sent = requestsSent();
    station.runFor(500);
    EXPECT_EQ(requestsSent(), sent);
    // And it opens again.
    station.core().link.NConnectingClick();
    EXPECT_TRUE(station.runFor(5000, [this] { return station.tile(1).state == kTileAnswering; }));
}

INSTANTIATE_TEST_SUITE_P(BothLinks, LinkContract, ::testing::Values(kLinkTcp, kLinkRs485),
                         testing::linkTypeName);

}  // namespace
}  // namespace terval
