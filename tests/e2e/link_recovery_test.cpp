// The far end of the line goes away and comes back, with nobody at the keyboard: the station says
// so once, shows nothing as live meanwhile, and is polling again by itself.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>

#include "relay_sim_process.h"
#include "station_harness.h"

namespace terval {
namespace {

using testing::PtyPair;
using testing::RelaySimProcess;
using testing::StationHarness;
using testing::tcpTo;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(LinkRecovery, SerialDeviceThatGoesAwayIsReportedOnceAndPolledAgainWhenBack) {
    QTemporaryDir line;
    PtyPair pty;
    RelaySimProcess sim;
    StationHarness station;
    const QString far = line.filePath("relay-line");
    ASSERT_TRUE(pty.start(station.folder.path("COM3"), far));
    ASSERT_TRUE(sim.start({"--rtu", far, "--relays", "1,2"})) << qPrintable(sim.errors());
    ConnectionConfig config;
    config.LinkType = kLinkRs485;
    config.portName = QStringLiteral("COM3");
    station.start({1, 2}, config);
    station.core().link.NConnectingClick();
    ASSERT_TRUE(station.runFor(5000, [&] { return station.allTiles(2, kTileEvent); }));

    // The converter is pulled: the pty pair goes.
    pty.stop();
    ASSERT_TRUE(station.runFor(3000, [&] { return station.allTiles(2, kTileNoAnswer); }));
    EXPECT_EQ(station.core().link.state(), LinkState::Waiting);
    EXPECT_FALSE(station.view.portOpen);
    EXPECT_TRUE(station.view.connectCaptionUp);
    // A while without the device: one message, and the station idles.
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    station.runFor(6000);
    const double share = (cpuSeconds() - cpu0) / (static_cast<double>(wall.elapsed()) / 1000.0);
    EXPECT_LT(share, 0.05) << "CPU while the device is missing";
    ASSERT_EQ(station.messages.messages.size(), 1);
    EXPECT_TRUE(station.messages.messages[0].text.startsWith(
        QStringLiteral("Связь с СОМ портом COM3 потеряна.")))
        << qPrintable(station.messages.messages[0].text);
    EXPECT_TRUE(station.allTiles(2, kTileNoAnswer));

    // Plugged in again: relay-sim finds its end of the new pair by itself.
    ASSERT_TRUE(pty.start(station.folder.path("COM3"), far));
    QElapsedTimer back;
    back.start();
    const uint32_t good = station.relay(1).GoodAnswers;
    ASSERT_TRUE(station.runFor(10000, [&] { return station.relay(1).GoodAnswers > good; }));
    std::printf("[ measured ] serial: first answer %lld ms after the device came back\n",
                static_cast<long long>(back.elapsed()));
    EXPECT_TRUE(station.view.portOpen);
    EXPECT_EQ(station.messages.messages.size(), 1);
    EXPECT_TRUE(station.runFor(4000, [&] { return !station.allTiles(2, kTileNoAnswer); }));
}

TEST(LinkRecovery, GatewayThatStopsForFortySecondsIsPolledAgainByItself) {
    RelaySimProcess sim;
    StationHarness station;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1,2"}));
    const int port = sim.tcpPort();
    station.start({1, 2}, tcpTo(port));
    station.core().link.NConnectingClick();
    ASSERT_TRUE(station.runFor(5000, [&] { return station.allTiles(2, kTileEvent); }));

    sim.kill();
    ASSERT_TRUE(station.runFor(3000, [&] { return station.allTiles(2, kTileNoAnswer); }));
    station.runFor(40000);
    EXPECT_TRUE(station.allTiles(2, kTileNoAnswer));
    EXPECT_TRUE(station.core().station.linkUp);
    ASSERT_TRUE(sim.start({"--tcp", QStringLiteral("127.0.0.1:%1").arg(port), "--relays", "1,2"}))
        << qPrintable(sim.errors());
    QElapsedTimer back;
    back.start();
    const uint32_t good = station.relay(1).GoodAnswers;
    // The pauses run 2, 4, 8, 16, 30 s: the attempt after the return comes within 30 s.
    ASSERT_TRUE(station.runFor(35000, [&] { return station.relay(1).GoodAnswers > good; }));
    std::printf("[ measured ] tcp: first answer %lld ms after the gateway came back\n",
                static_cast<long long>(back.elapsed()));
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
    QElapsedTimer clock;
    clock.start();
    QVector<qint64> attempts;
    station.core().link.NConnectingClick();
    ASSERT_TRUE(station.runFor(16000, [&] {
        if (station.socket.activations > attempts.size()) {
            attempts << clock.elapsed();
        }
        return attempts.size() >= 4;
    }));
    // Attempts at 0, 2, 6 and 14 s: each pause longer than the one before.
    const qint64 first = attempts[1] - attempts[0];
    const qint64 second = attempts[2] - attempts[1];
    const qint64 third = attempts[3] - attempts[2];
    EXPECT_GE(first, 1900);
    EXPECT_GT(second, first + 1000);
    EXPECT_GT(third, second + 2000);
    ASSERT_TRUE(
        station.runFor(2000, [&] { return station.core().link.state() == LinkState::Waiting; }));
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
    QElapsedTimer clock;
    clock.start();
    station.core().link.NConnectingClick();
    ASSERT_TRUE(
        station.runFor(8000, [&] { return station.core().link.state() == LinkState::Waiting; }));
    EXPECT_GE(clock.elapsed(), 4500);
    EXPECT_TRUE(station.view.statusTexts.last().contains(
        QStringLiteral("(устройство не ответило за 5 с)")));
    // The next attempt hangs as well; "Отключиться" ends it while it does.
    ASSERT_TRUE(
        station.runFor(4000, [&] { return station.core().link.state() == LinkState::Opening; }));
    station.runFor(1000);
    EXPECT_TRUE(station.view.enabled(MenuItem::NConnecting));
    station.core().link.NConnectingClick();
    EXPECT_EQ(station.core().link.state(), LinkState::Closed);
    EXPECT_FALSE(station.socket.isActive());
    EXPECT_FALSE(station.core().station.linkUp);
}

}  // namespace
}  // namespace terval
