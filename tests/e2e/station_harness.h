#pragma once

#include <gtest/gtest.h>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QVector>
#include <chrono>
#include <functional>
#include <memory>

#include "app/plant_publishing.h"
#include "app/station_core.h"
#include "io/serial_link.h"
#include "io/tcp_link.h"
#include "relay_sim_process.h"
#include "support/fakes.h"
#include "support/wait_until.h"

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

// The real serial link, with every frame written and every attempt to open it recorded.
class RecordingSerial final : public Link {
  public:
    explicit RecordingSerial(const QDir& folder) : real(folder) {}
    void setEvents(LinkEvents* events) override { real.setEvents(events); }
    bool open(const LinkTarget& target) override;
    void close() override { real.close(); }
    bool isActive() const override { return real.isActive(); }
    void send(QByteArrayView frame) override;

    QtSerialLink real;
    QList<QByteArray> written;
    // When each of `written` was handed to the port.
    QList<std::chrono::steady_clock::time_point> writtenAt;
    int opens = 0;
};

// The computer's clock, moved on by the ticks a test advances without waiting them out: the
// station counts its pauses in ticks and dates what it sees by this clock, and both must agree.
class SteppedClock final : public Clock {
  public:
    QDateTime now() const override { return QDateTime::currentDateTime().addMSecs(ahead_); }
    void advance(qint64 ms) { ahead_ += ms; }

  private:
    qint64 ahead_ = 0;
};

// The station's core with the real Qt transports on the event loop, with a recording main window
// and message sink. Its time runs in one of two ways: in real time (runFor, waitFor), for what
// the real peer has to do, or tick by tick without waiting (advanceTicks), for what the station
// counts itself: the pauses between attempts, the end of a connection that hangs, a relay's
// silence.
class StationHarness {
  public:
    static constexpr int kTickMs = 100;

    StationHarness();
    ~StationHarness();

    // Writes gen.dat with relays at these addresses and config.cfg with this link, then starts.
    void start(const QVector<int>& addresses, const ConnectionConfig& config);
    // Runs the event loop with the 100 ms scheduler timer for `ms`, or until `done` holds.
    bool runFor(int ms, const std::function<bool()>& done = {});

    // One tick after another without waiting: the clock moves on by 100 ms, the main window's
    // timer fires (while the station keeps it running), the one-second timer every tenth tick
    // when it runs, and the event loop delivers whatever the real socket or port has for the
    // station by then, without waiting for more.
    void advanceTicks(int ticks);
    // Ticks as above until `done` holds (asked before every tick), at most `maxTicks` of them.
    bool advanceUntil(int maxTicks, const std::function<bool()>& done);
    // Ticks as above for `maxTicks`, or until `done` holds, each one followed by the answer to
    // what it sent, but for requests to the relays in `silent`, which are left to time out: the
    // pace is the station's and not the machine's. Whether `done` held (without one, whether
    // every answer came within a deadline).
    bool advanceAnswered(int maxTicks, const QSet<int>& silent = {},
                         const std::function<bool()>& done = {});
    // Ticks as above for `maxTicks`, or until `done` holds; a connection attempt that a tick
    // starts is let end, made or refused by the real peer, before the next tick. For a peer that
    // answers a connection either way at once, never for one that lets it hang. Whether `done`
    // held (without one, whether every attempt ended).
    bool advanceSettled(int maxTicks, const std::function<bool()>& done = {});
    // Every tick advanced so far; the difference between two readings is a pause in ticks.
    int ticksAdvanced() const { return ticks_; }
    // Runs the event loop without any tick until `done` holds or `ms` (times the test time
    // scale) have passed: for the real peer to do what it was asked.
    bool waitFor(int ms, const std::function<bool()>& done);
    // Runs the event loop with `ticks` ticks from a real timer, one every `everyMs`: every event
    // source the station has gets its share of the loop, over fewer seconds than the ticks
    // stand for.
    void runTicks(int ticks, int everyMs);

    StationCore& core() { return *core_; }
    const TileModel& tile(int i) { return core_->station.tile(i); }
    DeviceEntry& relay(int i) { return core_->station.devices.entry(i); }
    bool allTiles(int count, int state);

    // Given before start(): how the station reaches a broker, and whether the main window's
    // one-second timer runs too (the clock, the tiles' age, the publishing).
    PlantOptions plant;
    bool secondTimer = false;
    // With it the station keeps its journal in the working folder.
    std::optional<JournalOptions> journal;

    WorkFolder folder;
    FakeMainView view;
    RecordingMessageSink messages;
    SteppedClock clock;
    RecordingSerial serial{folder.dir()};
    RecordingSocket socket;

  private:
    void tick();

    std::unique_ptr<StationCore> core_;
    std::unique_ptr<PlantPublishing> publishing_;
    int ticks_ = 0;
};

// Runs the event loop until `done` holds or `ms` (times the test time scale) have passed; whether
// it held. For what a real peer or port has to do.
bool runEventsUntil(int ms, const std::function<bool()>& done);

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

// relay-sim on a line of one kind with the station at its other end: loopback TCP, or a pty pair
// whose one end is the station's serial port and the other relay-sim's. The members end in the
// order the line would: the simulator first, then the station, then the line itself.
class SimulatedLine {
  public:
    // Starts relay-sim as `simRelays` on a line of this kind reaching the station's `portName`
    // (a serial line) and fills in `config`; false, with errors(), if it did not start.
    bool start(uint16_t linkType, const QString& simRelays,
               const QString& portName = QStringLiteral("COM2"));
    // Starts the station with relays at these addresses on the line and chooses
    // "Установить связь".
    void connectStation(const QVector<int>& addresses);
    // Both of the above.
    bool connect(uint16_t linkType, const QVector<int>& addresses, const QString& simRelays,
                 const QString& portName = QStringLiteral("COM2"));
    // The serial converter pulled out and plugged in again: the pty pair goes and comes back,
    // and relay-sim finds its end of the new one by itself.
    void unplug() { pty.stop(); }
    bool plugIn();
    // Until the first `count` tiles all show `state`, in real time, since the relays have to
    // answer for it.
    bool waitForTiles(int count, int state, int ms = 6000);
    QString errors() const { return sim.errors(); }

    QTemporaryDir line;
    PtyPair pty;
    StationHarness station;
    RelaySimProcess sim;
    ConnectionConfig config;

  private:
    QString farEnd() const { return line.filePath("relay-line"); }

    QString portName_;
};

}  // namespace terval::testing
