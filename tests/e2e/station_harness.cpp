#include "station_harness.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include "devices/device_editor.h"

namespace terval::testing {

bool RecordingSocket::open(const LinkTarget& target) {
    ++activations;
    return real.open(target);
}

void RecordingSocket::send(QByteArrayView frame) {
    if (real.socket().state() == QAbstractSocket::ConnectedState) {
        sent << frame.toByteArray();
    }
    real.send(frame);
}

bool RecordingSerial::open(const LinkTarget& target) {
    ++opens;
    return real.open(target);
}

void RecordingSerial::send(QByteArrayView frame) {
    written << frame.toByteArray();
    writtenAt << std::chrono::steady_clock::now();
    real.send(frame);
}

StationHarness::StationHarness() {
    folder.addPictures();
}

StationHarness::~StationHarness() {
    publishing_.reset();
    core_.reset();
    serial.real.close();
    socket.real.close();
}

void StationHarness::start(const QVector<int>& addresses, const ConnectionConfig& config) {
    DeviceTable table;
    for (int n = 1; n <= addresses.size(); ++n) {
        DeviceEntry e = newDeviceEntry(n);
        e.Address = static_cast<uint16_t>(addresses[n - 1]);
        table.append(e);
    }
    folder.write("gen.dat", table.toFileBytes());
    folder.write("config.cfg", config.toRecord());
    core_ = std::make_unique<StationCore>(folder.dir(), view, messages, clock,
                                          QLocale(QLocale::Russian, QLocale::Russia), serial,
                                          socket, journal);
    publishing_ = std::make_unique<PlantPublishing>(*core_, plant);
    core_->start();
}

bool StationHarness::runFor(int ms, const std::function<bool()>& done) {
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer ticks;
    ticks.setTimerType(Qt::PreciseTimer);
    ticks.setInterval(100);
    QObject::connect(&ticks, &QTimer::timeout, [this] {
        if (view.pollTimer) {
            core_->link.TimerTimer();
        }
    });
    QTimer seconds;
    seconds.setInterval(1000);
    QObject::connect(&seconds, &QTimer::timeout, [this] { core_->Timer1Timer(); });
    if (secondTimer) {
        seconds.start();
    }
    QEventLoop loop;
    QTimer check;
    check.setInterval(10);
    bool met = false;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done && done()) {
            met = true;
            loop.quit();
        } else if (elapsed.elapsed() >= ms) {
            loop.quit();
        }
    });
    ticks.start();
    check.start();
    loop.exec();
    return done ? met : true;
}

void StationHarness::tick() {
    clock.advance(kTickMs);
    ++ticks_;
    if (view.pollTimer) {
        core_->link.TimerTimer();
    }
    if (secondTimer && ticks_ % 10 == 0) {
        core_->Timer1Timer();
    }
}

void StationHarness::advanceTicks(int ticks) {
    for (int i = 0; i < ticks; ++i) {
        tick();
        QCoreApplication::processEvents();
    }
}

bool StationHarness::advanceUntil(int maxTicks, const std::function<bool()>& done) {
    for (int i = 0; i < maxTicks; ++i) {
        if (done()) {
            return true;
        }
        advanceTicks(1);
    }
    return done();
}

bool StationHarness::advanceAnswered(int maxTicks, const QSet<int>& silent,
                                     const std::function<bool()>& done) {
    const PollState& poll = core_->station.poll;
    for (int i = 0; i < maxTicks; ++i) {
        if (done && done()) {
            return true;
        }
        advanceTicks(1);
        if (poll.awaitingAnswer() && !silent.contains(poll.PolledDevice()) &&
            !waitFor(3000, [&poll] { return !poll.awaitingAnswer(); })) {
            return false;
        }
    }
    return done ? done() : true;
}

bool StationHarness::advanceSettled(int maxTicks, const std::function<bool()>& done) {
    for (int i = 0; i < maxTicks; ++i) {
        if (done && done()) {
            return true;
        }
        advanceTicks(1);
        if (!waitFor(3000, [this] { return core_->link.state() != LinkState::Opening; })) {
            return false;
        }
    }
    return done ? done() : true;
}

bool StationHarness::waitFor(int ms, const std::function<bool()>& done) {
    return runEventsUntil(ms, done);
}

bool runEventsUntil(int ms, const std::function<bool()>& done) {
    const QDeadlineTimer deadline(static_cast<qint64>(ms) * timeScale());
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void StationHarness::runTicks(int ticks, int everyMs) {
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(everyMs);
    int left = ticks;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        tick();
        if (--left <= 0) {
            loop.quit();
        }
    });
    timer.start();
    loop.exec();
}

bool StationHarness::allTiles(int count, int state) {
    for (int i = 1; i <= count; ++i) {
        if (tile(i).state != state) {
            return false;
        }
    }
    return true;
}

std::string linkTypeName(const ::testing::TestParamInfo<uint16_t>& info) {
    return info.param == kLinkTcp ? "Tcp" : "Rtu";
}

PtyPair::~PtyPair() {
    stop();
}

bool PtyPair::start(const QString& linkA, const QString& linkB) {
    socat_.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=%1").arg(linkA),
                                           QStringLiteral("pty,raw,echo=0,link=%1").arg(linkB)});
    if (!socat_.waitForStarted(3000)) {
        return false;
    }
    for (int i = 0; i < 100; ++i) {
        if (QFileInfo::exists(linkA) && QFileInfo::exists(linkB)) {
            return true;
        }
        QThread::msleep(20);
    }
    return false;
}

void PtyPair::stop() {
    if (socat_.state() != QProcess::NotRunning) {
        socat_.terminate();
        if (!socat_.waitForFinished(2000)) {
            socat_.kill();
            socat_.waitForFinished(2000);
        }
    }
}

bool SimulatedLine::start(uint16_t linkType, const QString& simRelays, const QString& portName) {
    config.LinkType = linkType;
    if (linkType == kLinkTcp) {
        if (!sim.start({"--tcp", "127.0.0.1:0", "--relays", simRelays})) {
            return false;
        }
        config.ipAddress = {127, 0, 0, 1};
        config.tcpPort = static_cast<uint16_t>(sim.tcpPort());
        return true;
    }
    portName_ = portName;
    config.portName = portName;
    return plugIn() && sim.start({"--rtu", farEnd(), "--relays", simRelays});
}

void SimulatedLine::connectStation(const QVector<int>& addresses) {
    station.start(addresses, config);
    station.core().link.NConnectingClick();
}

bool SimulatedLine::connect(uint16_t linkType, const QVector<int>& addresses,
                            const QString& simRelays, const QString& portName) {
    if (!start(linkType, simRelays, portName)) {
        return false;
    }
    connectStation(addresses);
    return true;
}

bool SimulatedLine::plugIn() {
    return pty.start(station.folder.path(portName_), farEnd());
}

bool SimulatedLine::waitForTiles(int count, int state, int ms) {
    return station.runFor(ms * timeScale(), [&] { return station.allTiles(count, state); });
}

ConnectionConfig tcpTo(int port) {
    ConnectionConfig config;
    config.LinkType = kLinkTcp;
    config.ipAddress = {127, 0, 0, 1};
    config.tcpPort = static_cast<uint16_t>(port);
    return config;
}

}  // namespace terval::testing
