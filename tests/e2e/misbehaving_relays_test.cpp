// The real Qt links against relay-sim with one relay misbehaving the way lines and gateways do:
// every tile keeps showing its own relay's resistance, no alarm line is made up, and a write lands
// in the register it was aimed at.
#include <gtest/gtest.h>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "param/link_loss.h"
#include "station_harness.h"

namespace terval {
namespace {

using testing::RelaySimProcess;
using testing::SimulatedLine;
using testing::StationHarness;
using testing::tcpTo;

// Each relay's insulation resistance, pinned in the simulator so that a value on the wrong tile
// shows at once.
int pinned(int relay) {
    return 1111 * relay;
}

class MisbehavingRelay : public ::testing::TestWithParam<uint16_t> {
  protected:
    bool tcp() const { return GetParam() == kLinkTcp; }

    void connect() {
        ASSERT_TRUE(line.start(GetParam(), QStringLiteral("1-3"))) << qPrintable(line.errors());
        for (int i = 1; i <= 3; ++i) {
            ASSERT_TRUE(sim.command(QStringLiteral("set %1 0x011B %2").arg(i).arg(pinned(i)))
                            .startsWith("ok"));
        }
        line.connectStation({1, 2, 3});
        // Every relay's newest stored protocol is logged once, as at every first connection.
        ASSERT_TRUE(line.waitForTiles(3, kTileEvent, 6000));
        ASSERT_EQ(station.view.alarmLines.size(), 3);
        alarmLines = station.view.alarmLines;
    }

    // Notes every tile that shows another relay's resistance.
    void watchTiles() {
        for (int i = 1; i <= 3; ++i) {
            const TileModel& t = station.tile(i);
            if (t.valueVisible && t.value.toInt() != pinned(i)) {
                wrongValues << QStringLiteral("tile %1: %2").arg(i).arg(t.value);
            }
        }
    }
    // Runs with the fault on, watching every tile all the while, until `done` or for `ms` (times
    // the test time scale) at most.
    bool runWatching(int ms, const std::function<bool()>& done) {
        return station.runFor(ms * testing::timeScale(), [this, &done] {
            watchTiles();
            return done();
        });
    }
    // Until relay 2 has been asked `times` more times and its neighbours have answered as often:
    // the fault has had its chances to show.
    bool runWatchingRounds(int times) {
        const uint32_t asked2 = station.relay(2).RequestsSent;
        const uint32_t good1 = station.relay(1).GoodAnswers;
        const uint32_t good3 = station.relay(3).GoodAnswers;
        return runWatching(10000, [&] {
            return station.relay(2).RequestsSent >= asked2 + times &&
                   station.relay(1).GoodAnswers >= good1 + times &&
                   station.relay(3).GoodAnswers >= good3 + times;
        });
    }

    void expectEveryRelayPolledAndNothingMadeUp() {
        EXPECT_TRUE(wrongValues.isEmpty()) << qPrintable(wrongValues.join("; "));
        EXPECT_EQ(station.view.alarmLines, alarmLines) << "an alarm line no relay reported";
        for (int i : {1, 3}) {
            EXPECT_EQ(station.tile(i).value.toInt(), pinned(i)) << i;
            EXPECT_NE(station.tile(i).state, kTileNoAnswer) << i;
        }
        for (int i = 1; i <= 3; ++i) {
            const DeviceEntry& e = station.relay(i);
            EXPECT_LE(e.RequestsSent - e.GoodAnswers - e.BadAnswers, 1u) << i;
        }
    }

    SimulatedLine line;
    StationHarness& station = line.station;
    RelaySimProcess& sim = line.sim;
    QStringList alarmLines;
    QStringList wrongValues;
};

TEST_P(MisbehavingRelay, EveryTileShowsItsOwnRelayWhateverOneRelayDoes) {
    connect();
    QStringList faults = {"late 2 750 on", "split 2 on 40 4", "double 2 on", "foreign 2 on 3",
                          "foreign 2 on 200"};
    if (!tcp()) {
        faults << "noise 2 40";
    }
    for (const QString& fault : faults) {
        SCOPED_TRACE(fault.toStdString());
        ASSERT_TRUE(sim.command(fault).startsWith("ok")) << qPrintable(fault);
        const uint32_t good2 = station.relay(2).GoodAnswers;
        EXPECT_TRUE(runWatchingRounds(3));
        // Split, doubled and noisy answers still get through, sooner or later.
        if (fault.startsWith("split") || fault.startsWith("double") || fault.startsWith("noise")) {
            EXPECT_TRUE(
                runWatching(15000, [this, good2] { return station.relay(2).GoodAnswers > good2; }));
        }
        ASSERT_TRUE(sim.command("clear 2").startsWith("ok"));
        expectEveryRelayPolledAndNothingMadeUp();
        EXPECT_TRUE(station.runFor(4000, [this] {
            return station.tile(2).state != kTileNoAnswer &&
                   station.tile(2).value.toInt() == pinned(2);
        }));
    }
}

TEST_P(MisbehavingRelay, RelayThatNeverAnswersRightIsShownNotAnsweringAndHoldsUpNobody) {
    connect();
    QStringList faults = {"exception 2 on 11", "exception 2 on 200"};
    if (!tcp()) {
        faults << "badcrc 2 on";
    }
    for (const QString& fault : faults) {
        SCOPED_TRACE(fault.toStdString());
        ASSERT_TRUE(sim.command(fault).startsWith("ok"));
        const uint32_t good1 = station.relay(1).GoodAnswers;
        const uint32_t good3 = station.relay(3).GoodAnswers;
        EXPECT_TRUE(
            station.runFor(4000, [this] { return station.tile(2).state == kTileNoAnswer; }));
        // Relay 2 asked twice more, and its neighbours answering all the while.
        const uint32_t asked2 = station.relay(2).RequestsSent;
        EXPECT_TRUE(runWatching(8000, [&] {
            return station.relay(2).RequestsSent >= asked2 + 2 &&
                   station.relay(1).GoodAnswers > good1 + 2 &&
                   station.relay(3).GoodAnswers > good3 + 2;
        }));
        expectEveryRelayPolledAndNothingMadeUp();
        EXPECT_GT(station.relay(1).GoodAnswers, good1 + 2);
        EXPECT_GT(station.relay(3).GoodAnswers, good3 + 2);
        EXPECT_EQ(station.tile(2).state, kTileNoAnswer);
        ASSERT_TRUE(sim.command("clear 2").startsWith("ok"));
        ASSERT_TRUE(
            station.runFor(4000, [this] { return station.tile(2).state != kTileNoAnswer; }));
    }
}

TEST_P(MisbehavingRelay, OpenRelayThatOnlyRefusesIsClosedAndEventsElsewhereAreLogged) {
    connect();
    Scheduler& scheduler = station.core().scheduler;
    station.core().main.NEWbmpClick(2);
    // The parameter window's link-loss check, as the window runs it every 500 ms.
    LinkLossCheck linkLoss;
    linkLoss.takeBaselines(station.relay(2));
    scheduler.windowOpened();
    scheduler.pageChosen(kPageCurrent);
    QTimer check;
    check.setInterval(500);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (station.core().station.poll.ParamWindowOpen() &&
            linkLoss.check(station.relay(2)) == LinkLossCheck::Verdict::Close) {
            scheduler.windowClosed();
        }
    });
    check.start();
    // What a gateway answers for a dead relay behind it, on every request to the open relay.
    ASSERT_TRUE(sim.command("exception 2 on 11").startsWith("ok"));
    EXPECT_TRUE(station.runFor(4000, [this] {
        return !station.core().station.poll.ParamWindowOpen() &&
               station.tile(2).state == kTileNoAnswer;
    }));
    ASSERT_TRUE(sim.command("event 3").startsWith("ok"));
    EXPECT_TRUE(station.runFor(5000, [this] { return station.view.alarmLines.size() == 4; }));
    EXPECT_TRUE(station.view.alarmLines.first().contains(QStringLiteral("Ген. 3,")));
}

// The setpoint waits for the clock's last register: both writes land, whole and in order.
TEST_P(MisbehavingRelay, SetpointQueuedWhileALateClockWriteIsInFlightLandsInItsRegister) {
    connect();
    Scheduler& scheduler = station.core().scheduler;
    station.core().main.NEWbmpClick(2);
    scheduler.windowOpened();
    ASSERT_TRUE(
        station.runFor(6000, [this] { return !station.core().station.poll.InitialRead(); }));
    const int before0409 = sim.command("get 2 0x0409").mid(3).toInt();
    ASSERT_TRUE(sim.command("late 2 300 on").startsWith("ok"));
    const uint16_t clock[7] = {0, 30, 12, 1, 7, 12, 2026};
    ASSERT_TRUE(scheduler.queueWrite(0x0109, clock, 7));
    // The clock's first value is on its way when the setpoint is written.
    ASSERT_TRUE(station.runFor(3000, [this] {
        const PollState& p = station.core().station.poll;
        return p.PollStep() == kStepWrite && p.awaitingAnswer();
    }));
    const uint16_t setpoint = 456;
    ASSERT_TRUE(scheduler.queueWrite(0x0408, &setpoint, 1));
    ASSERT_TRUE(station.runFor(
        5000, [this] { return sim.command("get 2 0x0408") == QStringLiteral("ok 456"); }));
    // Six more requests: a write still held back anywhere would have gone out among them.
    const QList<QByteArray>& wire = tcp() ? station.socket.sent : station.serial.written;
    const qsizetype landed = wire.size();
    ASSERT_TRUE(
        station.runFor(8000 * testing::timeScale(), [&] { return wire.size() >= landed + 6; }));
    EXPECT_EQ(sim.command("get 2 0x0409").mid(3).toInt(), before0409);
    // Every write on the wire went to a register and value that was asked for, the clock's
    // seven registers first and the setpoint after them.
    QVector<int> written;
    for (const QByteArray& frame : wire) {
        const QByteArray pdu = tcp() ? frame.mid(7, 5) : frame.mid(1, 5);
        if (pdu[0] != 6) {
            continue;
        }
        const int reg = static_cast<uint8_t>(pdu[1]) << 8 | static_cast<uint8_t>(pdu[2]);
        const int value = static_cast<uint8_t>(pdu[3]) << 8 | static_cast<uint8_t>(pdu[4]);
        const bool clockValue = reg >= 0x0109 && reg <= 0x010F && clock[reg - 0x0109] == value;
        EXPECT_TRUE(clockValue || (reg == 0x0408 && value == 456))
            << "wrote " << value << " to 0x" << std::hex << reg;
        if (written.isEmpty() || written.last() != reg) {
            written << reg;
        }
    }
    EXPECT_EQ(written,
              (QVector<int>{0x0109, 0x010A, 0x010B, 0x010C, 0x010D, 0x010E, 0x010F, 0x0408}));
    // Nothing was dropped, so nothing was told.
    EXPECT_TRUE(station.messages.messages.isEmpty())
        << qPrintable(station.messages.texts().join("\n"));
}

// Relay 2's answer trickles past the end of its request (on TCP in sixteen pieces over 2.25 s, on
// the bus with an 800 ms pause in the middle), so that its tail arrives after relay 3 has been
// asked: relay 2 may look dead, its neighbours must not.
TEST_P(MisbehavingRelay, TricklingAnswerLeavesItsNeighboursAnswering) {
    connect();
    const QString fault =
        tcp() ? QStringLiteral("split 2 on 150 16") : QStringLiteral("split 2 on 800 2");
    ASSERT_TRUE(sim.command(fault).startsWith("ok"));
    const uint32_t bad1 = station.relay(1).BadAnswers;
    const uint32_t bad2 = station.relay(2).BadAnswers;
    const uint32_t bad3 = station.relay(3).BadAnswers;
    const uint32_t good3 = station.relay(3).GoodAnswers;
    QStringList grey;
    // Until relay 2's answers have run past their requests three times and relay 3 has answered
    // four times meanwhile.
    EXPECT_TRUE(runWatching(15000, [this, &grey, bad2, good3] {
        for (int i : {1, 3}) {
            if (station.tile(i).state == kTileNoAnswer && grey.size() < 10) {
                grey << QStringLiteral("tile %1").arg(i);
            }
        }
        return station.relay(2).BadAnswers >= bad2 + 3 && station.relay(3).GoodAnswers >= good3 + 4;
    }));
    // Relay 2's answers did run past their requests.
    EXPECT_GT(station.relay(2).BadAnswers, bad2);
    EXPECT_TRUE(grey.isEmpty()) << qPrintable(grey.join(", ")) << " went grey";
    EXPECT_EQ(station.relay(1).BadAnswers, bad1);
    EXPECT_EQ(station.relay(3).BadAnswers, bad3);
    EXPECT_GE(station.relay(3).GoodAnswers, good3 + 4);
    ASSERT_TRUE(sim.command("clear 2").startsWith("ok"));
    expectEveryRelayPolledAndNothingMadeUp();
}

// A gateway that drops the connection whenever relay 2 is asked: the relays after it are still
// polled, the connection being made again each time.
TEST(MisbehavingGateway, RelayThatMakesItHangUpDoesNotStarveTheRelaysAfterIt) {
    SimulatedLine line;
    StationHarness& station = line.station;
    ASSERT_TRUE(line.start(kLinkTcp, QStringLiteral("1-4"))) << qPrintable(line.errors());
    ASSERT_TRUE(line.sim.command("close 2 on").startsWith("ok"));
    line.connectStation({1, 2, 3, 4});
    EXPECT_TRUE(station.runFor(20000,
                               [&station] {
                                   return station.relay(3).GoodAnswers >= 4 &&
                                          station.relay(4).GoodAnswers >= 4;
                               }))
        << "relay 3: " << station.relay(3).GoodAnswers
        << ", relay 4: " << station.relay(4).GoodAnswers;
}

TEST(MisbehavingPeer, BytesBeforeTheFirstRequestAreDroppedAndPollingStarts) {
    // A peer that speaks first: a banner, then something shaped like an answer.
    QTcpServer peer;
    ASSERT_TRUE(peer.listen(QHostAddress::LocalHost));
    QObject::connect(&peer, &QTcpServer::newConnection, [&peer] {
        QTcpSocket* client = peer.nextPendingConnection();
        client->write("SSH-2.0-banner\r\n");
        client->write(QByteArray::fromHex("00000000000301830b"));
        client->write(QByteArray::fromHex("000000000009010306000100020003"));
    });
    StationHarness station;
    station.start({1, 2}, tcpTo(peer.serverPort()));
    station.core().link.NConnectingClick();
    EXPECT_TRUE(station.runFor(3000, [&station] { return station.socket.sent.size() >= 3; }));
    EXPECT_TRUE(station.core().station.linkUp);
    EXPECT_FALSE(station.tile(1).valueVisible);
    EXPECT_TRUE(station.view.alarmLines.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(BothLinks, MisbehavingRelay, ::testing::Values(kLinkTcp, kLinkRs485),
                         testing::linkTypeName);

}  // namespace
}  // namespace terval
