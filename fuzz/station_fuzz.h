#pragma once
// What the station's fuzz targets share: a station core over the fakes the tests use, started on a
// fresh copy of its working folder for every input, a reader of the fuzzer's bytes, the relays on
// the line as a model the targets answer from, and the check of what reached the operator after
// every step.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>

#include "app/station_core.h"
#include "devices/device_editor.h"
#include "modbus/modbus_frame.h"
#include "modbus/register_map.h"
#include "poll/event_detection.h"
#include "support/fakes.h"

namespace terval::fuzz {

// The fuzzer's bytes, taken from the front; nothing past the end.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() << 8 | byte()); }
    QByteArray take(size_t n) {
        n = std::min(n, size_ - std::min(at_, size_));
        QByteArray out(reinterpret_cast<const char*>(data_ + at_), static_cast<qsizetype>(n));
        at_ += n;
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "terval-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                : new QCoreApplication(argc, argv);
    (void)app;
}

constexpr int kRelays = 3;
constexpr uint8_t kAddresses[kRelays] = {1, 7, 246};

// The working folder of every run: three relays at addresses 1, 7 and 246 that have never logged
// an event, and the link asked for. Written again for every input: the station saves gen.dat when
// it logs an event, and an input must not depend on the ones run before it.
inline QDir folderFor(uint16_t linkType) {
    static QTemporaryDir dir;
    DeviceTable table;
    for (int n = 1; n <= kRelays; ++n) {
        DeviceEntry e = newDeviceEntry(n);
        e.Address = kAddresses[n - 1];
        table.append(e);
    }
    QFile gen(QDir(dir.path()).filePath("gen.dat"));
    gen.open(QIODevice::WriteOnly | QIODevice::Truncate);
    gen.write(table.toFileBytes());
    gen.close();
    ConnectionConfig config;
    config.LinkType = linkType;
    config.ipAddress = {127, 0, 0, 1};
    config.tcpPort = 1502;
    QFile cfg(QDir(dir.path()).filePath("config.cfg"));
    cfg.open(QIODevice::WriteOnly | QIODevice::Truncate);
    cfg.write(config.toRecord());
    cfg.close();
    return QDir(dir.path());
}

// One relay on the line: its own register contents, made from the seed the input starts with. Its
// insulation resistance moves with every status block it gives, so that an old answer shows.
struct ModelRelay {
    uint8_t address = 0;
    std::array<uint16_t, registers::kStatusCount> status{};
    std::array<uint16_t, 32> trip{};
    uint16_t other = 0;

    QVector<uint16_t> wordsFor(uint16_t reg, uint16_t count) {
        QVector<uint16_t> words(count, other);
        if (reg == registers::kStatusBlock && count == registers::kStatusCount) {
            status[registers::status::kInsulationResistance] += 1 + (other & 7);
            std::copy(status.begin(), status.end(), words.begin());
        } else if (reg == registers::kTripProtocols && count == trip.size()) {
            std::copy(trip.begin(), trip.end(), words.begin());
        }
        return words;
    }
    // A new protection event: a later time of the same day or the next, another sign.
    void newEvent(uint8_t how) {
        const int hour = std::min(23, (trip[1] & 0xFF) + 1 + how % 4);
        trip[1] = static_cast<uint16_t>((trip[1] & 0xFF00) | hour);
        trip[31] = static_cast<uint16_t>(how % 8 == 7 ? 54 : how % 6);
    }
};

inline std::array<ModelRelay, kRelays> relaysFrom(uint16_t seed) {
    std::array<ModelRelay, kRelays> relays;
    uint32_t x = seed * 2654435761u + 1;
    const auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return static_cast<uint16_t>(x);
    };
    for (int i = 0; i < kRelays; ++i) {
        ModelRelay& r = relays[static_cast<size_t>(i)];
        r.address = kAddresses[i];
        for (uint16_t& w : r.status) {
            w = next();
        }
        r.status[registers::status::kInsulationResistance] = static_cast<uint16_t>(1000 * (i + 1));
        for (uint16_t& w : r.trip) {
            w = next();
        }
        // Mostly a valid event time, sometimes an erased slot.
        const uint16_t pick = next();
        if (pick % 8 != 0) {
            r.trip[0] = static_cast<uint16_t>((1 + i) << 8 | (1 + pick % 3));
            r.trip[1] = static_cast<uint16_t>((1 + pick % 28) << 8 | pick % 12);
            r.trip[2] = static_cast<uint16_t>((pick % 60) << 8 | (pick / 60) % 60);
        }
        r.trip[31] = static_cast<uint16_t>(pick % 7);
        r.other = next();
    }
    return relays;
}

// A station over fakes, connected, and what it may show. The checks after each step hold whatever
// came in on the line: a tile shows only the insulation resistance of a status block of its own
// relay that answered the status request in flight to that relay, every alarm line is a
// protection event of a trip protocol that answered the request in flight to its relay, and a tile
// leaves "no answer" only on such a trip protocol. The bytes are read as a framer might read them,
// at every offset, so that what the station's framer and matcher accepted is among what is
// allowed, and an answer from another relay, a late one, or a foreign frame is not.
struct Station {
    explicit Station(uint16_t linkType, uint16_t seed = 0)
        : core(folderFor(linkType), view, messages, clock,
               QLocale(QLocale::Russian, QLocale::Russia), serial, socket),
          relays(relaysFrom(seed)) {
        core.start();
        core.link.NConnectingClick();
        if (linkType == kLinkTcp) {
            socket.connectNow();
        }
    }

    bool tcp() const { return !core.station.connection.isSerial(); }
    bool linkCarries() const { return tcp() ? socket.connected : serial.opened; }

    // Bytes from the line, in one delivery; nothing reaches a link that is closed.
    void deliver(QByteArrayView bytes) {
        if (!linkCarries() || bytes.empty()) {
            return;
        }
        see(bytes);
        if (tcp()) {
            socket.deliver(bytes);
        } else {
            serial.deliver(bytes);
        }
    }

    // The request in flight, as the line carried it: its relay, and on TCP its identifier.
    bool inFlight() const { return core.station.poll.awaitingAnswer(); }
    int polled() const { return core.station.poll.PolledDevice(); }
    ModelRelay* relayAsked() {
        for (ModelRelay& r : relays) {
            if (r.address == core.station.request.address()) {
                return &r;
            }
        }
        return nullptr;
    }
    uint16_t transaction() const {
        if (socket.sent.isEmpty()) {
            return 0;
        }
        const QByteArray& last = socket.sent.last();
        return static_cast<uint16_t>(static_cast<uint8_t>(last[0]) << 8 |
                                     static_cast<uint8_t>(last[1]));
    }

    // The answer `relay` gives to the request in flight, from its registers, framed for the line.
    QByteArray answerFrom(ModelRelay& relay) {
        const RequestFrame& q = core.station.request;
        QByteArray pdu(1, static_cast<char>(relay.address));
        if (q.function() == kReadHoldingRegisters) {
            const uint16_t count = std::min<uint16_t>(q.countOrValue(), 125);
            pdu.append(static_cast<char>(kReadHoldingRegisters));
            pdu.append(static_cast<char>(2 * count));
            for (uint16_t w : relay.wordsFor(q.registerAddress(), count)) {
                pdu.append(static_cast<char>(w >> 8)).append(static_cast<char>(w & 0xFF));
            }
        } else {
            pdu.append(reinterpret_cast<const char*>(q.bytes.data()) + 1, 5);
        }
        return framed(pdu);
    }
    QByteArray refusalFrom(const ModelRelay& relay, uint8_t code) {
        QByteArray pdu(1, static_cast<char>(relay.address));
        pdu.append(static_cast<char>(core.station.request.function() | 0x80));
        pdu.append(static_cast<char>(code));
        return framed(pdu);
    }
    QByteArray framed(const QByteArray& pdu) const {
        if (!tcp()) {
            const uint16_t crc = MatchCRC(pdu);
            return pdu + QByteArray(1, static_cast<char>(crc & 0xFF)) +
                   QByteArray(1, static_cast<char>(crc >> 8));
        }
        const uint16_t t = transaction();
        QByteArray adu(6, '\0');
        adu[0] = static_cast<char>(t >> 8);
        adu[1] = static_cast<char>(t & 0xFF);
        adu[4] = static_cast<char>(pdu.size() >> 8);
        adu[5] = static_cast<char>(pdu.size() & 0xFF);
        return adu + pdu;
    }

    void check() {
        const Station& self = *this;
        self.checkCounters();
        const terval::Station& s = core.station;
        for (int i = 1; i <= s.devices.DeviceCount; ++i) {
            const TileModel& tile = s.tile(i);
            const testing::FakeMainView::Tile& shown = view.tiles.at(i);
            if (shown.value != tile.value || shown.state != tile.state ||
                (tile.valueVisible && !allowedValues[i].contains(tile.value))) {
                __builtin_trap();
            }
            if (shownState[i] == kTileNoAnswer && tile.state != kTileNoAnswer && !tripSeen[i]) {
                __builtin_trap();
            }
            shownState[i] = tile.state;
            tripSeen[i] = false;
        }
        const AlarmLog& log = s.alarmLog;
        for (int k = 0; k < log.size(); ++k) {
            if (!allowedLines.contains(log.text(k))) {
                __builtin_trap();
            }
        }
    }

    testing::FakeMainView view;
    testing::RecordingMessageSink messages;
    testing::FixedClock clock{QDateTime(QDate(2026, 3, 15), QTime(12, 0, 0))};
    testing::FakeSerialPort serial;
    testing::FakeTcpSocket socket;
    StationCore core;
    std::array<ModelRelay, kRelays> relays;
    // Answers kept back by the line, delivered later.
    std::deque<QByteArray> late;

  private:
    // The counters agree with the requests, whatever came in.
    void checkCounters() const {
        const DeviceTable& t = core.station.devices;
        const PollState& p = core.station.poll;
        for (int i = 1; i <= t.DeviceCount; ++i) {
            const DeviceEntry& e = t.entry(i);
            const bool open = p.awaitingAnswer() && p.PolledDevice() == i && !p.requestCounted();
            if (e.RequestsSent != e.GoodAnswers + e.BadAnswers + (open ? 1u : 0u)) {
                __builtin_trap();
            }
        }
    }

    // Every whole answer to the request in flight that ends in these bytes, at any offset: what
    // its relay may show. RTU: the bytes since the request went out, the CRC right. TCP: the
    // whole stream of the connection, the identifier the request's (or 0, from a peer that does
    // not echo it).
    void see(QByteArrayView bytes) {
        const uint16_t connection = static_cast<uint16_t>(socket.activations);
        const qsizetype requests = tcp() ? socket.sent.size() : serial.written.size();
        if (tcp() ? connection != seenConnection_ : requests != seenRequests_) {
            line_.clear();
        }
        seenConnection_ = connection;
        seenRequests_ = requests;
        const qsizetype before = line_.size();
        line_.append(bytes.data(), bytes.size());
        const RequestFrame& q = core.station.request;
        const int relay = polled();
        if (!inFlight() || q.function() != kReadHoldingRegisters || relay < 1 ||
            relay > core.station.devices.DeviceCount) {
            if (!tcp()) {
                line_.clear();
            }
            return;
        }
        const bool status = q.registerAddress() == registers::kStatusBlock &&
                            q.countOrValue() == registers::kStatusCount;
        const bool trip =
            q.registerAddress() == registers::kTripProtocols && q.countOrValue() == 32;
        if (!status && !trip) {
            return;
        }
        const int data = 2 * q.countOrValue();
        const int length = tcp() ? 6 + 3 + data : 3 + data + 2;
        const int pdu = tcp() ? 6 : 0;
        for (qsizetype end = std::max<qsizetype>(before + 1, length); end <= line_.size(); ++end) {
            const QByteArray frame = line_.mid(end - length, length);
            const auto b = [&frame](int k) { return static_cast<uint8_t>(frame[k]); };
            if (b(pdu) != q.address() || b(pdu + 1) != kReadHoldingRegisters ||
                b(pdu + 2) != data) {
                continue;
            }
            if (tcp()) {
                const uint16_t t = static_cast<uint16_t>(b(0) << 8 | b(1));
                if ((t != transaction() && t != 0) || b(2) != 0 || b(3) != 0 ||
                    (b(4) << 8 | b(5)) != 3 + data) {
                    continue;
                }
            } else if (MatchCRC(frame.left(length - 2)) !=
                       static_cast<uint16_t>(b(length - 1) << 8 | b(length - 2))) {
                continue;
            }
            RegisterWords words{};
            for (int k = 0; k < q.countOrValue(); ++k) {
                words[static_cast<size_t>(k)] =
                    static_cast<uint16_t>(b(pdu + 3 + 2 * k) << 8 | b(pdu + 4 + 2 * k));
            }
            if (status) {
                allowedValues[relay].insert(
                    QString::number(words[registers::status::kInsulationResistance]));
                continue;
            }
            tripSeen[relay] = true;
            if (const auto at = tripEventTime(words, clock.now())) {
                allowedLines.insert(
                    alarmLineText(*at, core.station.devices.entry(relay).GeneratorName,
                                  words[registers::trip::kSign], core.main.locale()));
            }
        }
    }

    std::array<QSet<QString>, 33> allowedValues;
    QSet<QString> allowedLines;
    std::array<bool, 33> tripSeen{};
    std::array<int, 33> shownState{};
    QByteArray line_;
    uint16_t seenConnection_ = 0;
    qsizetype seenRequests_ = -1;
};

// The fuzzer's step that plays the relays on the line: `op` (0x80 to 0xFF) and the bytes after it.
// The relay asked answers rightly, or late, from another relay's address, with a bit flipped, in
// two pieces, refuses, or has a new protection event.
inline void playRelays(Station& station, uint8_t op, Input& in) {
    ModelRelay* asked = station.inFlight() ? station.relayAsked() : nullptr;
    switch ((op >> 4) & 7) {
        case 0:
            if (asked) {
                station.deliver(station.answerFrom(*asked));
            }
            break;
        case 1:
            if (asked && station.late.size() < 8) {
                station.late.push_back(station.answerFrom(*asked));
            }
            break;
        case 2:
            if (!station.late.empty()) {
                const QByteArray bytes = station.late.front();
                station.late.pop_front();
                station.deliver(bytes);
            }
            break;
        case 3:
            if (asked) {
                ModelRelay& other =
                    station.relays[(asked - station.relays.data() + 1 + op % 2) % kRelays];
                station.deliver(station.answerFrom(other));
            }
            break;
        case 4:
            if (asked) {
                QByteArray bytes = station.answerFrom(*asked);
                const uint8_t where = in.byte();
                bytes[where % bytes.size()] =
                    static_cast<char>(bytes[where % bytes.size()] ^ (1 << (op & 7)));
                station.deliver(bytes);
            }
            break;
        case 5:
            if (asked) {
                const QByteArray bytes = station.answerFrom(*asked);
                const qsizetype cut = 1 + in.byte() % (bytes.size() - 1);
                station.deliver(bytes.left(cut));
                station.late.push_front(bytes.mid(cut));
            }
            break;
        case 6:
            if (asked) {
                station.deliver(station.refusalFrom(*asked, in.byte()));
            }
            break;
        default:
            station.relays[op % kRelays].newEvent(in.byte());
            break;
    }
}

}  // namespace terval::fuzz
