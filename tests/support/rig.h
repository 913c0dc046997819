#pragma once

#include <QVector>
#include <functional>
#include <memory>

#include "app/plant_publishing.h"
#include "app/station_core.h"
#include "support/fakes.h"

namespace terval::testing {

// One request as it went out, decoded.
struct Request {
    int unit = 0;
    int function = 0;
    int reg = 0;
    int countOrValue = 0;
    bool operator==(const Request&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Request& r);

QVector<uint16_t> statusBlock(uint16_t resistance);
QVector<uint16_t> tripRecord(int month, int day, int hour, int minute, int second, uint16_t sign);
QByteArray tcpReadAnswer(uint8_t unit, const QVector<uint16_t>& words, uint16_t transaction = 0);
QByteArray tcpWriteEcho(uint8_t unit, uint16_t reg, uint16_t value, uint16_t transaction = 0);
QByteArray rtuReadAnswer(uint8_t address, const QVector<uint16_t>& words);
// An RTU frame: the bytes with their CRC, low byte first.
QByteArray withCrc(QByteArray frame);
// A Modbus TCP frame: the PDU (unit identifier first) behind an MBAP header.
QByteArray mbapFrame(const QByteArray& pdu, uint16_t transaction = 0);

// The station's core over fakes: a working folder, a recording main window, a TCP socket or serial
// port played by the test, and a clock that stands still unless told otherwise.
class Rig {
  public:
    // `shape` may change each relay's record before gen.dat is written and the station starts.
    // With `journal` the station keeps its journal in the working folder.
    explicit Rig(int relays, uint16_t linkType = kLinkTcp,
                 const std::function<void(DeviceEntry&, int)>& shape = {},
                 std::optional<JournalOptions> journal = std::nullopt, PlantOptions plant = {});

    StationCore& core() { return *core_; }
    // The publisher to the plant's broker, or nothing when the rig was given no way to one.
    PlantPublisher* publisher() { return publishing_->publisher(); }
    Station& station() { return core_->station; }
    const PollState& poll() const { return core_->station.poll; }
    Scheduler& scheduler() { return core_->scheduler; }
    DeviceEntry& relay(int i) { return core_->station.devices.entry(i); }

    // The station stopped and started again on the same working folder (and journal), as after
    // the program was closed: the link is closed, the fakes keep what they recorded.
    void restart();
    // Opens the link as the operator does; for TCP also plays the connected event.
    void connect();
    void tick(int n = 1);
    // Ticks until a request goes out (at most `limit` ticks); returns the ticks taken.
    int tickUntilSent(int limit = 20);

    int sentCount() const;
    Request lastRequest() const;
    // The transaction identifier of the last TCP request, which a gateway echoes.
    uint16_t lastTransaction() const;
    // Answers the request in flight the way the relay at `unit` would, with these words.
    void answerRead(const QVector<uint16_t>& words);
    void answerWriteEcho();
    // Bytes from the relays, in one delivery of the link in use.
    void deliver(QByteArrayView bytes);
    // Answers the request in flight with a plain status block or protocol as fits its register.
    void answerPlausibly(uint16_t resistance = 1000);

    WorkFolder folder;
    FakeMainView view;
    RecordingMessageSink messages;
    FixedClock clock{QDateTime(QDate(2026, 3, 15), QTime(12, 0, 0))};
    FakeSerialPort serial;
    FakeTcpSocket socket;

  private:
    std::optional<JournalOptions> journal_;
    PlantOptions plant_;
    std::unique_ptr<StationCore> core_;
    // Goes before the core, as main()'s does.
    std::unique_ptr<PlantPublishing> publishing_;
};

}  // namespace terval::testing
