#pragma once

#include <gtest/gtest.h>
#include <QProcess>
#include <QTemporaryDir>
#include <QVector>
#include <functional>
#include <memory>

#include "app/station_core.h"
#include "io/serial_link.h"
#include "io/tcp_link.h"
#include "support/fakes.h"

namespace terval::testing {

// The real TCP link, with every request sent and every activation recorded on the way.
class RecordingSocket final : public Link {
  public:
    void setEvents(LinkEvents* events) override { real.setEvents(events); }
    bool open(const LinkTarget& target) override;
    void close() override { real.close(); }
    bool isActive() const override { return real.isActive(); }
    void send(QByteArrayView frame) override;

    QtTcpLink real;
    QList<QByteArray> sent;
    int activations = 0;
};

// The real serial link, with every frame written recorded.
class RecordingSerial final : public Link {
  public:
    explicit RecordingSerial(const QDir& folder) : real(folder) {}
    void setEvents(LinkEvents* events) override { real.setEvents(events); }
    bool open(const LinkTarget& target) override { return real.open(target); }
    void close() override { real.close(); }
    bool isActive() const override { return real.isActive(); }
    void send(QByteArrayView frame) override;

    QtSerialLink real;
    QList<QByteArray> written;
};

// The station's core with the real Qt transports, run in real time on the event loop, with a
// recording main window and message sink.
class StationHarness {
  public:
    StationHarness();
    ~StationHarness();

    // Writes gen.dat with relays at these addresses and config.cfg with this link, then starts.
    void start(const QVector<int>& addresses, const ConnectionConfig& config);
    // Runs the event loop with the 100 ms scheduler timer for `ms`, or until `done` holds.
    bool runFor(int ms, const std::function<bool()>& done = {});

    StationCore& core() { return *core_; }
    const TileModel& tile(int i) { return core_->station.tile(i); }
    DeviceEntry& relay(int i) { return core_->station.devices.entry(i); }
    bool allTiles(int count, int state);

    // Given before start(): how the station reaches a broker, and whether the main window's
    // one-second timer runs too (the clock, the tiles' age, the publishing).
    PlantOptions plant;
    bool secondTimer = false;

    WorkFolder folder;
    FakeMainView view;
    RecordingMessageSink messages;
    SystemClock clock;
    RecordingSerial serial{folder.dir()};
    RecordingSocket socket;

  private:
    std::unique_ptr<StationCore> core_;
};

class RelaySimProcess;
class PtyPair;

// Starts relay-sim as `relays` on a line of this kind: loopback TCP, or a pty pair whose one end is
// the station's COM2 and the other a file in `line`. Fills in the connection settings that reach
// it.
bool startSimulatedLine(uint16_t linkType, const QString& relays, RelaySimProcess& sim,
                        PtyPair& pty, const QTemporaryDir& line, const WorkFolder& stationFolder,
                        ConnectionConfig& config);

// Ethernet TCP/IP to 127.0.0.1 at this port.
ConnectionConfig tcpTo(int port);

// "Tcp" or "Rtu": how the suites run against both links name their cases.
std::string linkTypeName(const ::testing::TestParamInfo<uint16_t>& info);

// A pair of connected ptys made by socat, reachable through two links.
class PtyPair {
  public:
    ~PtyPair();
    bool start(const QString& linkA, const QString& linkB);
    void stop();

  private:
    QProcess socat_;
};

}  // namespace terval::testing
