// The station's register map as a control system reads it: the real program without windows
// polls relay-sim over loopback TCP and serves its map on loopback, and mbpoll, a Modbus client
// this project did not write, reads it.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <optional>

#include "modbus/station_map.h"
#include "relay_sim_process.h"
#include "support/fakes.h"
#include "support/free_port.h"
#include "support/wait_until.h"

namespace terval::testing {
namespace {

using namespace std::chrono_literals;
namespace sm = station_map;

// `count` registers from `first` (counted from 0) of unit 1 as mbpoll reads them, holding or
// input registers; nothing when mbpoll did not read them all.
std::optional<QVector<uint16_t>> mbpoll(int port, int first, int count, bool input = false) {
    QProcess p;
    p.start(QStringLiteral("mbpoll"),
            {"-m", "tcp", "-p", QString::number(port), "-a", "1", "-0", "-r",
             QString::number(first), "-c", QString::number(count), "-t",
             input ? QStringLiteral("3:hex") : QStringLiteral("4:hex"), "-1", "127.0.0.1"});
    if (!p.waitForFinished(10000) || p.exitCode() != 0) {
        return std::nullopt;
    }
    // "[1000]: 	0x0001", one line per register.
    static const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+0x([0-9A-Fa-f]{4})$"),
                                         QRegularExpression::MultilineOption);
    QVector<uint16_t> words(count, 0);
    int seen = 0;
    for (const QRegularExpressionMatch& m : line.globalMatch(QString::fromUtf8(p.readAll()))) {
        const int reg = m.captured(1).toInt();
        if (reg < first || reg >= first + count) {
            return std::nullopt;
        }
        words[reg - first] = static_cast<uint16_t>(m.captured(2).toUInt(nullptr, 16));
        ++seen;
    }
    return seen == count ? std::optional(words) : std::nullopt;
}

uint32_t word32(const QVector<uint16_t>& w, int high) {
    return uint32_t{w[high]} << 16 | w[high + 1];
}

// relay-sim's register as its "get" tells it.
int simRegister(RelaySimProcess& sim, int relay, int reg) {
    const QString reply = sim.command(QStringLiteral("get %1 %2").arg(relay).arg(reg));
    bool ok = false;
    const int value = reply.startsWith(QStringLiteral("ok ")) ? reply.mid(3).toInt(&ok) : -1;
    return ok ? value : -1;
}

TEST(StationMapOverModbus, MbpollReadsWhatTheRelaysHoldAndEachNewEventOnce) {
    RelaySimProcess sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1-3"}))
        << sim.errors().toStdString();
    // The measured values of relay 2 held still, so that what the station read last is what
    // relay-sim holds now.
    for (const auto& [word, value] :
         {std::pair{27, 1234}, std::pair{28, 2205}, std::pair{29, 481}, std::pair{30, 5400}}) {
        const QString reply =
            sim.command(QStringLiteral("set 2 %1 %2").arg(0x0100 + word).arg(value));
        ASSERT_TRUE(reply.startsWith(QStringLiteral("ok"))) << reply.toStdString();
    }
    WorkFolder folder;
    ASSERT_EQ(QProcess::execute(QStringLiteral(STATION_FOLDER),
                                {folder.dir().path(), "--relays", "3", "--tcp",
                                 QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort())}),
              0);
    const int port = freeLoopbackPort();
    ASSERT_NE(port, 0);
    QProcess station;
    station.setWorkingDirectory(folder.dir().path());
    station.setStandardErrorFile(folder.path("station.log"));
    station.start(QStringLiteral(TERVAL_PROGRAM),
                  {"--headless", "--modbus-server", QStringLiteral("127.0.0.1:%1").arg(port)});
    ASSERT_TRUE(station.waitForStarted(10000));
    const auto log = [&folder] {
        return QString::fromUtf8(folder.read("station.log")).toStdString();
    };

    // The station block: the line open, three relays, and the newest protocol of each relay
    // found as an event when the list is new.
    std::optional<QVector<uint16_t>> block;
    ASSERT_TRUE(waitUntil(
        [&] {
            block = mbpoll(port, sm::kStationBlock, sm::kStationBlockSize);
            return block && (*block)[sm::station::kLinkState] == 2 &&
                   (*block)[sm::station::kEventsHeld] == 3;
        },
        30s))
        << log();
    EXPECT_EQ((*block)[sm::station::kRelayCount], 3);
    EXPECT_EQ((*block)[sm::station::kVersion], sm::kMapVersion);
    EXPECT_EQ(word32(*block, sm::station::kEventSequenceHigh), 3u);
    EXPECT_NEAR(static_cast<double>(word32(*block, sm::station::kTimeHigh)),
                static_cast<double>(QDateTime::currentSecsSinceEpoch()), 5);
    const uint16_t heartbeat = (*block)[sm::station::kHeartbeat];
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto again = mbpoll(port, sm::kStationBlock, 1);
            return again && (*again)[0] != heartbeat;
        },
        10s));

    // Relay 2's block, read as holding and as input registers alike, against relay-sim.
    const int relayBase = sm::relayBlock(2);
    std::optional<QVector<uint16_t>> relay;
    ASSERT_TRUE(waitUntil(
        [&] {
            relay = mbpoll(port, relayBase, sm::kRelayBlockSize);
            return relay && (*relay)[sm::relay::kInsulationKohm] == 1234;
        },
        30s))
        << log();
    const auto& r = *relay;
    EXPECT_EQ(r[sm::relay::kListed], 1);
    EXPECT_EQ(r[sm::relay::kAddress], 2);
    EXPECT_EQ(r[sm::relay::kControlKohm], 5400);
    EXPECT_EQ(r[sm::relay::kExcitationDeciVolt], 2205);
    EXPECT_EQ(r[sm::relay::kInjectedDeciVolt], 481);
    EXPECT_EQ(r[sm::relay::kSerialNumber], simRegister(sim, 2, 0x0101));
    EXPECT_EQ(r[sm::relay::kStatusWord], simRegister(sim, 2, 0x0113));
    EXPECT_LE(r[sm::relay::kAgeSeconds], 5);
    EXPECT_EQ(r[sm::relay::kSignalLevelKohm], sm::kNotKnown);  // the parameter window never read it
    EXPECT_EQ(r[sm::relay::kState], 2);  // the relay's newest protocol waits for acknowledgement
    EXPECT_GE(word32(r, sm::relay::kGoodAnswersHigh), 1u);
    const auto asInput = mbpoll(port, relayBase, 8, true);
    ASSERT_TRUE(asInput);
    EXPECT_EQ(asInput->mid(0, 8), r.mid(0, 8));
    // A tile beyond the list reads 0, a register between the blocks is refused.
    const auto empty = mbpoll(port, sm::relayBlock(4), sm::kRelayBlockSize);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->count(0), sm::kRelayBlockSize);
    EXPECT_FALSE(mbpoll(port, sm::kStationBlockSize, 1));

    // An event made in relay-sim comes with the next number, once, in its slot.
    const QString reply = sim.command(QStringLiteral("event 3 2"));
    const QRegularExpressionMatch when =
        QRegularExpression(QStringLiteral("date (\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d) sign (\\d+)"))
            .match(reply);
    ASSERT_TRUE(when.hasMatch()) << reply.toStdString();
    const qint64 madeAt = QDateTime::currentSecsSinceEpoch();
    ASSERT_TRUE(waitUntil(
        [&] {
            block = mbpoll(port, sm::kStationBlock, sm::kStationBlockSize);
            return block && word32(*block, sm::station::kEventSequenceHigh) == 4;
        },
        30s))
        << log();
    EXPECT_EQ((*block)[sm::station::kEventsHeld], 4);
    const auto queue = mbpoll(port, sm::kEventQueue, 5 * sm::kEventSlotSize);
    ASSERT_TRUE(queue);
    for (int slot = 0; slot < 5; ++slot) {
        SCOPED_TRACE(::testing::Message() << "slot " << slot);
        const QVector<uint16_t> s = queue->mid(slot * sm::kEventSlotSize, sm::kEventSlotSize);
        EXPECT_EQ(word32(s, sm::event::kSequenceHigh), slot < 4 ? uint32_t(slot + 1) : 0u);
        if (slot == 3) {
            EXPECT_EQ(s[sm::event::kTile], 3);
            EXPECT_EQ(s[sm::event::kAddress], 3);
            EXPECT_EQ(s[sm::event::kSignCode], when.captured(2).toInt());
            EXPECT_EQ(QDateTime::fromSecsSinceEpoch(word32(s, sm::event::kRelayTimeHigh))
                          .toString(QStringLiteral("dd/MM HH:mm:ss")),
                      when.captured(1));
            EXPECT_NEAR(static_cast<double>(word32(s, sm::event::kDetectedHigh)),
                        static_cast<double>(madeAt), 10);
        }
    }

    station.terminate();
    ASSERT_TRUE(station.waitForFinished(20000)) << log();
    EXPECT_EQ(station.exitCode(), 0) << log();
}

}  // namespace
}  // namespace terval::testing
