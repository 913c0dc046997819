#include "support/rig.h"

#include <ostream>

#include "devices/device_editor.h"

namespace terval::testing {

std::ostream& operator<<(std::ostream& os, const Request& r) {
    return os << "{unit " << r.unit << ", fn " << r.function << ", reg 0x" << std::hex << r.reg
              << std::dec << ", " << r.countOrValue << "}";
}

QVector<uint16_t> statusBlock(uint16_t resistance) {
    QVector<uint16_t> words(48, 0);
    words[27] = resistance;
    return words;
}

QVector<uint16_t> tripRecord(int month, int day, int hour, int minute, int second, uint16_t sign) {
    QVector<uint16_t> words(32, 0);
    words[0] = static_cast<uint16_t>(1 << 8 | month);
    words[1] = static_cast<uint16_t>(day << 8 | hour);
    words[2] = static_cast<uint16_t>(minute << 8 | second);
    words[31] = sign;
    return words;
}

static QByteArray pdu(uint8_t unit, const QVector<uint16_t>& words) {
    QByteArray b;
    b.append(static_cast<char>(unit));
    b.append(char(3));
    b.append(static_cast<char>(2 * words.size()));
    for (uint16_t w : words) {
        b.append(static_cast<char>(w >> 8));
        b.append(static_cast<char>(w & 0xFF));
    }
    return b;
}

static QByteArray mbap(uint16_t transaction, const QByteArray& pduBytes) {
    QByteArray b;
    b.append(static_cast<char>(transaction >> 8));
    b.append(static_cast<char>(transaction & 0xFF));
    b.append(char(0));
    b.append(char(0));
    b.append(static_cast<char>(pduBytes.size() >> 8));
    b.append(static_cast<char>(pduBytes.size() & 0xFF));
    return b + pduBytes;
}

QByteArray tcpReadAnswer(uint8_t unit, const QVector<uint16_t>& words, uint16_t transaction) {
    return mbap(transaction, pdu(unit, words));
}

QByteArray tcpWriteEcho(uint8_t unit, uint16_t reg, uint16_t value, uint16_t transaction) {
    QByteArray b;
    b.append(static_cast<char>(unit));
    b.append(char(6));
    b.append(static_cast<char>(reg >> 8));
    b.append(static_cast<char>(reg & 0xFF));
    b.append(static_cast<char>(value >> 8));
    b.append(static_cast<char>(value & 0xFF));
    return mbap(transaction, b);
}

QByteArray withCrc(QByteArray frame) {
    const uint16_t crc = MatchCRC(frame);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

QByteArray mbapFrame(const QByteArray& pduBytes, uint16_t transaction) {
    return mbap(transaction, pduBytes);
}

QByteArray rtuReadAnswer(uint8_t address, const QVector<uint16_t>& words) {
    return withCrc(pdu(address, words));
}

Rig::Rig(int relays, uint16_t linkType, const std::function<void(DeviceEntry&, int)>& shape,
         std::optional<JournalOptions> journal, PlantOptions plant) {
    folder.addPictures();
    DeviceTable table;
    for (int n = 1; n <= relays; ++n) {
        DeviceEntry e = newDeviceEntry(n);
        if (shape) {
            shape(e, n);
        }
        table.append(e);
    }
    folder.write("gen.dat", table.toFileBytes());
    ConnectionConfig config;
    config.LinkType = linkType;
    config.ipAddress = {127, 0, 0, 1};
    config.tcpPort = 1502;
    folder.write("config.cfg", config.toRecord());
    core_ = std::make_unique<StationCore>(folder.dir(), view, messages, clock,
                                          QLocale(QLocale::Russian, QLocale::Russia), serial,
                                          socket, journal);
    journal_ = std::move(journal);
    plant_ = plant;
    publishing_ = std::make_unique<PlantPublishing>(*core_, std::move(plant));
    core_->start();
}

void Rig::restart() {
    publishing_.reset();
    core_.reset();
    socket.active = socket.connected = false;
    serial.close();
    core_ = std::make_unique<StationCore>(folder.dir(), view, messages, clock,
                                          QLocale(QLocale::Russian, QLocale::Russia), serial,
                                          socket, journal_);
    publishing_ = std::make_unique<PlantPublishing>(*core_, plant_);
    core_->start();
}

void Rig::connect() {
    core_->link.NConnectingClick();
    if (station().connection.LinkType == kLinkTcp) {
        socket.connectNow();
    }
}

void Rig::tick(int n) {
    for (int i = 0; i < n; ++i) {
        core_->link.TimerTimer();
    }
}

int Rig::sentCount() const {
    return static_cast<int>(socket.sent.size() + serial.written.size());
}

int Rig::tickUntilSent(int limit) {
    const int before = sentCount();
    for (int t = 1; t <= limit; ++t) {
        tick();
        if (sentCount() > before) {
            return t;
        }
    }
    return -1;
}

Request Rig::lastRequest() const {
    QByteArray pduBytes;
    if (!socket.sent.isEmpty()) {
        pduBytes = socket.sent.last().mid(6);
    } else if (!serial.written.isEmpty()) {
        pduBytes = serial.written.last().left(6);
    }
    if (pduBytes.size() < 6) {
        return {};
    }
    const auto b = [&pduBytes](int i) { return static_cast<uint8_t>(pduBytes[i]); };
    return {b(0), b(1), b(2) << 8 | b(3), b(4) << 8 | b(5)};
}

uint16_t Rig::lastTransaction() const {
    if (socket.sent.isEmpty() || socket.sent.last().size() < 2) {
        return 0;
    }
    const QByteArray& last = socket.sent.last();
    return static_cast<uint16_t>(static_cast<uint8_t>(last[0]) << 8 |
                                 static_cast<uint8_t>(last[1]));
}

void Rig::answerRead(const QVector<uint16_t>& words) {
    const uint8_t unit = static_cast<uint8_t>(lastRequest().unit);
    deliver(station().connection.isSerial() ? rtuReadAnswer(unit, words)
                                            : tcpReadAnswer(unit, words, lastTransaction()));
}

void Rig::answerWriteEcho() {
    const Request r = lastRequest();
    if (station().connection.isSerial()) {
        deliver(serial.written.last());
    } else {
        deliver(tcpWriteEcho(static_cast<uint8_t>(r.unit), static_cast<uint16_t>(r.reg),
                             static_cast<uint16_t>(r.countOrValue), lastTransaction()));
    }
}

void Rig::deliver(QByteArrayView bytes) {
    if (station().connection.isSerial()) {
        serial.deliver(bytes);
    } else {
        socket.deliver(bytes);
    }
}

void Rig::answerPlausibly(uint16_t resistance) {
    const Request r = lastRequest();
    if (r.function == 6) {
        answerWriteEcho();
    } else if (r.reg == 0x0100) {
        answerRead(statusBlock(resistance));
    } else {
        answerRead(QVector<uint16_t>(r.countOrValue, 0));
    }
}

}  // namespace terval::testing
