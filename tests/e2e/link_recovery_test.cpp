// The far end of the line goes away and comes back, with nobody at the keyboard: the station says
// so once, shows nothing as live meanwhile, and is polling again by itself. The pauses between
// attempts are the station's own ticks, advanced here without waiting them out.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>

#include "station_harness.h"

namespace terval {
namespace {

using testing::SimulatedLine;
using testing::StationHarness;
using testing::tcpTo;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Every event the application delivers to any of its objects while this lives: timers, socket
// and port notifiers, posted calls. A station that spins on something delivers them by the
// thousand however slowly the machine runs; an idle one, about one per tick.
class EventCount final : public QObject {
  public:
    EventCount() { QCoreApplication::instance()->installEventFilter(this); }
    ~EventCount() override { QCoreApplication::instance()->removeEventFilter(this); }
    bool eventFilter(QObject*, QEvent*) override {
        ++events;
        return false;
    }
    int events = 0;
};

TEST(LinkRecovery, SerialDeviceThatGoesAwayIsReportedOnceAndPolledAgainWhenBack) {
    SimulatedLine line;
    StationHarness& station = line.station;
    ASSERT_TRUE(line.connect(kLinkRs485, {1, 2}, "1,2", QStringLiteral("COM3")))
        << qPrintable(line.errors());
    ASSERT_TRUE(line.waitForTiles(2, kTileEvent, 5000));

    // The converter is pulled: the pty pair goes.
    line.unplug();
    ASSERT_TRUE(station.runFor(3000, [&] { return station.allTiles(2, kTileNoAnswer); }));
    EXPECT_EQ(station.core().link.state(), LinkState::Waiting);
    EXPECT_FALSE(station.view.portOpen);
    EXPECT_TRUE(station.view.connectCaptionUp);
    // Ten seconds without the device: it is looked for every five, and that is all the station
    // does between its ticks.
    const int opens = station.serial.opens;
    station.advanceTicks(100);
    EXPECT_EQ(station.serial.opens - opens, 2);
    {
        constexpr int kTicks = 60;
        EventCount count;
        const double cpu0 = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        station.runTicks(kTicks, 10);
        std::printf(
            "[ measured ] CPU share while the device is missing: %.3f, %d events in %d "
            "ticks\n",
            (cpuSeconds() - cpu0) / (static_cast<double>(wall.elapsed()) / 1000.0), count.events,
            kTicks);
        EXPECT_LE(count.events, 3 * kTicks) << "events while the device is missing";
    }
    ASSERT_EQ(station.messages.messages.size(), 1);
    EXPECT_TRUE(station.messages.messages[0].text.startsWith(
        QStringLiteral("Связь с СОМ портом COM3 потеряна.")))
        << qPrintable(station.messages.messages[0].text);
    EXPECT_TRUE(station.allTiles(2, kTileNoAnswer));

    // Plugged in again: the port opens at the next attempt, and relay-sim finds its end of the
    // new pair by itself.
    ASSERT_TRUE(line.plugIn());
    const int unplugged = station.ticksAdvanced();
    const uint32_t good = station.relay(1).GoodAnswers;
    ASSERT_TRUE(station.advanceUntil(50, [&] { return station.view.portOpen; }));
    QElapsedTimer back;
    back.start();
    ASSERT_TRUE(station.runFor(10000, [&] { return station.relay(1).GoodAnswers > good; }));
    std::printf(
        "[ measured ] serial: port open %d ticks after the device came back, first answer "
        "%lld ms later\n",
        station.ticksAdvanced() - unplugged, static_cast<long long>(back.elapsed()));
    EXPECT_TRUE(station.view.portOpen);
    EXPECT_EQ(station.messages.messages.size(), 1);
    EXPECT_TRUE(station.runFor(4000, [&] { return !station.allTiles(2, kTileNoAnswer); }));
}

TEST(LinkRecovery, GatewayThatStopsForFortySecondsIsPolledAgainByItself) {
    SimulatedLine line;
    StationHarness& station = line.station;
    ASSERT_TRUE(line.connect(kLinkTcp, {1, 2}, "1,2")) << qPrintable(line.errors());
    const int port = line.config.tcpPort;
    ASSERT_TRUE(line.waitForTiles(2, kTileEvent, 5000));

    line.sim.kill();
    ASSERT_TRUE(station.runFor(3000, [&] { return station.allTiles(2, kTileNoAnswer); }));
    // Forty seconds of ticks without the gateway: attempts after 2, 6, 14 and 30 s, each refused.
    const int attempts = station.socket.activations;
    ASSERT_TRUE(station.advanceSettled(400));
    EXPECT_EQ(station.socket.activations - attempts, 4);
    EXPECT_TRUE(station.allTiles(2, kTileNoAnswer));
    EXPECT_TRUE(station.core().station.linkUp);
    ASSERT_TRUE(
        line.sim.start({"--tcp", QStringLiteral("127.0.0.1:%1").arg(port), "--relays", "1,2"}))
        << qPrintable(line.errors());
    const int back = station.ticksAdvanced();
    const uint32_t good = station.relay(1).GoodAnswers;
    // The pauses run 2, 4, 8, 16, 30 s: the attempt after the return comes within 30 s.
    ASSERT_TRUE(station.advanceSettled(
        300, [&] { return station.core().link.state() == LinkState::Open; }));
    std::printf("[ measured ] tcp: connected %d ticks after the gateway came back\n",
                station.ticksAdvanced() - back);
    ASSERT_TRUE(station.runFor(5000, [&] { return station.relay(1).GoodAnswers > good; }));
    EXPECT_TRUE(station.messages.messages.isEmpty());
    EXPECT_TRUE(station.runFor(4000, [&] { return !station.allTiles(2, kTileNoAnswer); }));
}

TEST(LinkRecovery, RefusedConnectionIsTriedAgainWithGrowingPauses) {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const int port = probe.serverPort();
    probe.close();
    StationHarness station;
    station.start({1, 2}, tcpTo(port));
    station.core().link.NConnectingClick();
    // The ticks from each refusal to the next attempt: 2, 4, 8 and 16 s, then every 30 s.
    QVector<int> pauses;
    for (int i = 0; i < 6; ++i) {
        const int attempts = station.socket.activations;
        ASSERT_TRUE(station.waitFor(
            3000, [&] { return station.core().link.state() == LinkState::Waiting; }))
            << "attempt " << attempts << " was not refused";
        const int refused = station.ticksAdvanced();
        ASSERT_TRUE(
            station.advanceUntil(400, [&] { return station.socket.activations > attempts; }));
        pauses << station.ticksAdvanced() - refused;
    }
    EXPECT_EQ(pauses, (QVector<int>{20, 40, 80, 160, 300, 300}));
    ASSERT_TRUE(
        station.waitFor(3000, [&] { return station.core().link.state() == LinkState::Waiting; }));
    EXPECT_TRUE(station.view.statusTexts.last().startsWith(
        QStringLiteral("Возникла ошибка при подключении к устройству - IP adress: 127.0.0.1  "
                       "Port: %1 (устройство отказало в подключении). Следующая попытка через")
            .arg(port)))
        << qPrintable(station.view.statusTexts.last());
    EXPECT_TRUE(station.messages.messages.isEmpty());
    EXPECT_TRUE(station.view.enabled(MenuItem::NConnecting));
    EXPECT_TRUE(station.view.enabled(MenuItem::NExit));
    station.core().link.NConnectingClick();
    EXPECT_EQ(station.core().link.state(), LinkState::Closed);
}

// A listening socket that never accepts, with its queue full: a connection to it hangs.
class SwallowingPort {
  public:
    SwallowingPort() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 0) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        // Fill the queue that nobody empties.
        for (int i = 0; i < 4; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
            fillers_.push_back(fd);
        }
    }
    ~SwallowingPort() {
        for (int fd : fillers_) {
            ::close(fd);
        }
        ::close(listener_);
    }
    int port() const { return port_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

TEST(LinkRecovery, AttemptThatHangsEndsAfterFiveSecondsAndCanBeCancelled) {
    SwallowingPort swallow;
    ASSERT_GT(swallow.port(), 0);
    StationHarness station;
    station.start({1}, tcpTo(swallow.port()));
    station.core().link.NConnectingClick();
    // The click has come back with the peer still not taking the connection.
    EXPECT_EQ(station.core().link.state(), LinkState::Opening);
    const int clicked = station.ticksAdvanced();
    ASSERT_TRUE(station.advanceUntil(
        60, [&] { return station.core().link.state() == LinkState::Waiting; }));
    EXPECT_EQ(station.ticksAdvanced() - clicked, 50);
    EXPECT_TRUE(station.view.statusTexts.last().contains(
        QStringLiteral("(устройство не ответило за 5 с)")));
    // The next attempt hangs as well; "Отключиться" ends it while it does.
    ASSERT_TRUE(station.advanceUntil(
        40, [&] { return station.core().link.state() == LinkState::Opening; }));
    station.advanceTicks(10);
    EXPECT_EQ(station.core().link.state(), LinkState::Opening);
    EXPECT_TRUE(station.view.enabled(MenuItem::NConnecting));
    station.core().link.NConnectingClick();
    EXPECT_EQ(station.core().link.state(), LinkState::Closed);
    EXPECT_FALSE(station.socket.isActive());
    EXPECT_FALSE(station.core().station.linkUp);
}

}  // namespace
}  // namespace terval
