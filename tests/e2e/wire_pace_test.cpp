// Polling at the pace of the line, with the real QSerialPort against relay-sim on a socat pty pair
// at 38400 baud: the gaps between an answer and the next request, what a silent relay costs, and a
// write of the parameter window's phase.
#include <gtest/gtest.h>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "link/connection_settings.h"
#include "station_harness.h"

namespace terval {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using testing::SimulatedLine;
using testing::StationHarness;

// Stands between the serial port and the station, noting when each delivery of bytes came.
class ArrivalSpy final : public LinkEvents {
  public:
    explicit ArrivalSpy(LinkEvents& station) : station_(station) {}
    void linkLookup() override { station_.linkLookup(); }
    void linkConnecting() override { station_.linkConnecting(); }
    void linkOpened() override { station_.linkOpened(); }
    void linkDisconnected() override { station_.linkDisconnected(); }
    void linkError(const QString& text) override { station_.linkError(text); }
    void linkLost(const QString& text) override { station_.linkLost(text); }
    void bytesReceived(QByteArrayView bytes) override {
        arrivals.push_back(Clock::now());
        station_.bytesReceived(bytes);
    }

    std::vector<Clock::time_point> arrivals;

  private:
    LinkEvents& station_;
};

microseconds median(std::vector<microseconds> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? microseconds(0) : v[v.size() / 2];
}

class WirePace : public ::testing::Test {
  protected:
    void start(const QVector<int>& addresses, const QString& simRelays) {
        ASSERT_TRUE(line.start(kLinkRs485, simRelays, QStringLiteral("COM3")))
            << qPrintable(line.errors());
        line.config.baudIndex = baudIndexOf(38400);
        station.start(addresses, line.config);
        station.core().station.settings.poll.pace = PollPace::Wire;
        spy.emplace(station.core().link);
        station.serial.real.setEvents(&*spy);
        station.core().link.NConnectingClick();
        ASSERT_TRUE(station.core().station.linkUp);
        ASSERT_TRUE(station.core().scheduler.pacedByWire());
    }
    void TearDown() override {
        if (spy) {
            station.serial.real.setEvents(&station.core().link);
        }
    }
    // Requests to `address` from the k-th frame on, as indexes into what the station wrote.
    std::vector<qsizetype> framesTo(int address, qsizetype from = 0) const {
        std::vector<qsizetype> out;
        const QList<QByteArray>& w = station.serial.written;
        for (qsizetype i = from; i < w.size(); ++i) {
            if (static_cast<uint8_t>(w[i][0]) == address) {
                out.push_back(i);
            }
        }
        return out;
    }
    microseconds between(Clock::time_point a, Clock::time_point b) const {
        return std::chrono::duration_cast<microseconds>(b - a);
    }
    int simRegister(int relay, int reg) {
        const QString reply = line.sim.command(QStringLiteral("get %1 %2").arg(relay).arg(reg));
        return reply.startsWith(QLatin1String("ok ")) ? reply.mid(3).toInt() : -1;
    }

    SimulatedLine line;
    StationHarness& station = line.station;
    std::optional<ArrivalSpy> spy;
    const LineTiming timing = serialLineTiming(38400, 8, false, 1);
    const PollPacing pacing{};
};

TEST_F(WirePace, EachRequestFollowsTheAnswerBeforeItAfterTheLinesSilence) {
    start({1, 2, 3}, "1-3");
    const microseconds silence = silentInterval(timing);
    ASSERT_EQ(silence, microseconds(1750));
    ASSERT_TRUE(station.runFor(20000, [this] { return station.serial.written.size() >= 200; }));
    const auto& sent = station.serial.writtenAt;
    std::vector<microseconds> gaps;
    size_t arrival = 0;
    int unanswered = 0;
    for (qsizetype k = 1; k < sent.size(); ++k) {
        // The end of the answer to request k - 1: its last bytes before request k went.
        std::optional<Clock::time_point> end;
        for (; arrival < spy->arrivals.size() && spy->arrivals[arrival] < sent[k]; ++arrival) {
            if (spy->arrivals[arrival] > sent[k - 1]) {
                end = spy->arrivals[arrival];
            }
        }
        if (!end) {
            // Given up as unanswered: a machine too busy to take the answer in time.
            ++unanswered;
            continue;
        }
        const microseconds gap = between(*end, sent[k]);
        EXPECT_GE(gap, silence) << "request " << k;
        gaps.push_back(gap);
    }
    // Each goes as soon as the silence has passed: well within the margin, not at a tick.
    EXPECT_LE(median(gaps), silence + std::chrono::milliseconds(pacing.serialMarginMs))
        << "median gap " << median(gaps).count() << " us";
    EXPECT_LE(unanswered, sent.size() / 20);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_LE(station.relay(i).BadAnswers, station.relay(i).GoodAnswers / 20) << i;
        EXPECT_GT(station.relay(i).GoodAnswers, 50u) << i;
    }
    // Two hundred requests took a few seconds at most, where the tick takes twenty.
    EXPECT_LT(between(sent.first(), sent.last()), std::chrono::seconds(10));
}

TEST_F(WirePace, ASilentRelayCostsItsComputedWaitAndNoMore) {
    start({1, 2}, "1,2");
    ASSERT_TRUE(station.runFor(6000, [this] { return station.allTiles(2, kTileEvent); }));
    ASSERT_TRUE(line.sim.command("silent 2 on").startsWith("ok"));
    const qsizetype from = station.serial.written.size() + 2;
    ASSERT_TRUE(station.runFor(10000, [&] { return framesTo(2, from).size() >= 12; }));
    EXPECT_EQ(station.tile(2).state, kTileNoAnswer);
    EXPECT_NE(station.tile(1).state, kTileNoAnswer);
    // Every request to relay 2 is a read of the status block (the round robin's first step, its
    // second never comes): 8 bytes out, 101 back, the relay's silence before it answers, and
    // the margin.
    const microseconds wait =
        std::chrono::ceil<microseconds>(timing.character * (8 + expectedAnswerBytes(3, 48))) +
        silentInterval(timing) + std::chrono::milliseconds(pacing.serialMarginMs);
    std::vector<microseconds> costs;
    const auto& sent = station.serial.writtenAt;
    for (qsizetype k : framesTo(2, from)) {
        if (k + 1 < sent.size()) {
            const microseconds cost = between(sent[k], sent[k + 1]);
            EXPECT_GE(cost, wait + silentInterval(timing)) << "request " << k;
            costs.push_back(cost);
        }
    }
    ASSERT_GE(costs.size(), 10u);
    // Its wait, not the tick's half second.
    EXPECT_LE(median(costs), wait + std::chrono::milliseconds(40))
        << "median " << median(costs).count() << " us, wait " << wait.count() << " us";
}

TEST_F(WirePace, AWriteOfTheParameterWindowLandsOnTheRelayItWasAimedAt) {
    start({1, 2, 3}, "1-3");
    ASSERT_TRUE(station.runFor(6000, [this] { return station.allTiles(3, kTileEvent); }));
    const int before1 = simRegister(1, 0x0408);
    const int before3 = simRegister(3, 0x0408);
    const int value = before1 == 450 || before3 == 450 ? 460 : 450;
    Scheduler& scheduler = station.core().scheduler;
    station.core().main.NEWbmpClick(2);
    scheduler.windowOpened();
    scheduler.pageChosen(kPageSetpoints);
    const uint16_t values[] = {static_cast<uint16_t>(value)};
    ASSERT_TRUE(scheduler.queueWrite(0x0408, values, 1));
    ASSERT_TRUE(station.runFor(5000, [&] { return simRegister(2, 0x0408) == value; }));
    // Exactly one write went, to relay 2, and its echo was taken: no message of a write lost.
    int writes = 0;
    for (const QByteArray& f : station.serial.written) {
        if (static_cast<uint8_t>(f[1]) == 6) {
            ++writes;
            EXPECT_EQ(f.left(6), QByteArray::fromHex("020604080000").left(4) +
                                     QByteArray(1, static_cast<char>(value >> 8)) +
                                     QByteArray(1, static_cast<char>(value & 0xFF)));
        }
    }
    EXPECT_EQ(writes, 1);
    ASSERT_TRUE(station.runFor(2000, [&] { return scheduler.state().PollStep() != kStepWrite; }));
    EXPECT_TRUE(station.messages.messages.isEmpty());
    EXPECT_EQ(simRegister(1, 0x0408), before1);
    EXPECT_EQ(simRegister(3, 0x0408), before3);
    scheduler.windowClosed();
}

// The program without windows takes the pace from its command line: a word it does not know ends
// it before anything is polled, and "wire" polls many times faster than the tick allows (at most
// five requests a second).
TEST(WirePaceProgram, HeadlessTakesThePaceFromItsCommandLine) {
    testing::WorkFolder empty;
    QProcess refused;
    refused.setWorkingDirectory(empty.dir().path());
    refused.start(QStringLiteral(TERVAL_PROGRAM), {"--headless", "--poll", "fast"});
    ASSERT_TRUE(refused.waitForFinished(10000 * testing::timeScale()));
    EXPECT_EQ(refused.exitCode(), 2);
    EXPECT_TRUE(QString::fromUtf8(refused.readAllStandardError()).contains("--poll fast"));

    testing::RelaySimProcess sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1,2"})) << qPrintable(sim.errors());
    testing::WorkFolder folder;
    ASSERT_EQ(QProcess::execute(QStringLiteral(STATION_FOLDER),
                                {folder.dir().path(), "--relays", "2", "--tcp",
                                 QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort())}),
              0);
    QProcess station;
    station.setWorkingDirectory(folder.dir().path());
    station.setStandardErrorFile(folder.path("station.log"));
    station.start(QStringLiteral(TERVAL_PROGRAM), {"--headless", "--poll", "wire"});
    const auto requests = [&sim] {
        const QRegularExpression count(QStringLiteral(" requests (\\d+) "));
        int total = 0;
        for (int relay : {1, 2}) {
            const QRegularExpressionMatch m =
                count.match(sim.command(QStringLiteral("status %1").arg(relay)));
            total += m.hasMatch() ? m.captured(1).toInt() : 0;
        }
        return total;
    };
    ASSERT_TRUE(testing::waitUntil([&] { return requests() > 0; }, std::chrono::seconds(10)));
    const int first = requests();
    const Clock::time_point from = Clock::now();
    ASSERT_TRUE(
        testing::waitUntil([&] { return requests() >= first + 100; }, std::chrono::seconds(20)));
    const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
    EXPECT_GT(100 / seconds, 15.0) << seconds << " s for 100 requests";
    station.terminate();
    EXPECT_TRUE(station.waitForFinished(10000 * testing::timeScale()));
}

}  // namespace
}  // namespace terval
