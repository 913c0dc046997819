#pragma once

#include <QProcess>
#include <QVector>
#include <functional>
#include <memory>

#include "app/station_core.h"
#include "link/serial_link.h"
#include "link/tcp_link.h"
#include "support/fakes.h"

namespace terval::testing {

// The real socket, with every request sent and every activation recorded on the way.
class RecordingSocket final : public TcpClientSocket {
  public:
    void activate(const QString& host, uint16_t port) override;
    void deactivate() override { real.deactivate(); }
    bool isActive() const override { return real.isActive(); }
    void send(const QByteArray& bytes) override;

    QtTcpClientSocket real;
    QList<QByteArray> sent;
    int activations = 0;
};

// The real serial port, with every frame written recorded.
class RecordingSerial final : public SerialPortDevice {
  public:
    explicit RecordingSerial(const QDir& folder) : real(folder) {}
    bool open(const SerialSettings& settings) override { return real.open(settings); }
    void close() override { real.close(); }
    bool isOpen() const override { return real.isOpen(); }
    void write(const QByteArray& bytes) override;
    void setRts(bool on) override { real.setRts(on); }
    void setDtr(bool on) override { real.setDtr(on); }

    QtSerialPortDevice real;
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

    WorkFolder folder;
    FakeMainView view;
    RecordingMessageSink messages;
    SystemClock clock;
    RecordingSerial serial{folder.dir()};
    RecordingSocket socket;

  private:
    std::unique_ptr<StationCore> core_;
};

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
