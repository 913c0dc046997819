#include "station_harness.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include "devices/device_editor.h"
#include "relay_sim_process.h"

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

void RecordingSerial::send(QByteArrayView frame) {
    written << frame.toByteArray();
    real.send(frame);
}

StationHarness::StationHarness() {
    folder.addPictures();
}

StationHarness::~StationHarness() {
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
    core_ =
        std::make_unique<StationCore>(folder.dir(), view, messages, clock,
                                      QLocale(QLocale::Russian, QLocale::Russia), serial, socket,
                                      std::nullopt, plant);
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

bool StationHarness::allTiles(int count, int state) {
    for (int i = 1; i <= count; ++i) {
        if (tile(i).state != state) {
            return false;
        }
    }
    return true;
}

bool startSimulatedLine(uint16_t linkType, const QString& relays, RelaySimProcess& sim,
                        PtyPair& pty, const QTemporaryDir& line, const WorkFolder& stationFolder,
                        ConnectionConfig& config) {
    config.LinkType = linkType;
    if (linkType == kLinkTcp) {
        if (!sim.start({"--tcp", "127.0.0.1:0", "--relays", relays})) {
            return false;
        }
        config.ipAddress = {127, 0, 0, 1};
        config.tcpPort = static_cast<uint16_t>(sim.tcpPort());
        return true;
    }
    config.portName = QStringLiteral("COM2");
    return pty.start(stationFolder.path("COM2"), line.filePath("relay-line")) &&
           sim.start({"--rtu", line.filePath("relay-line"), "--relays", relays});
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

ConnectionConfig tcpTo(int port) {
    ConnectionConfig config;
    config.LinkType = kLinkTcp;
    config.ipAddress = {127, 0, 0, 1};
    config.tcpPort = static_cast<uint16_t>(port);
    return config;
}

}  // namespace terval::testing
