#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <algorithm>
#include <array>
#include <cstdint>

namespace terval {

inline constexpr uint8_t kReadHoldingRegisters = 3;
inline constexpr uint8_t kWriteSingleRegister = 6;

// CRC-16/MODBUS over the first `length` bytes; sent low byte first.
uint16_t MatchCRC(const uint8_t* bytes, int length);
inline uint16_t MatchCRC(QByteArrayView bytes) {
    return MatchCRC(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
}

// The one request in flight: address, function, register, count or value, and room for the CRC.
struct RequestFrame {
    std::array<uint8_t, 8> bytes{};

    uint8_t address() const { return bytes[0]; }
    uint8_t function() const { return bytes[1]; }
    uint16_t registerAddress() const { return static_cast<uint16_t>(bytes[2] << 8 | bytes[3]); }
    // Function 3: how many registers; function 6: the value written.
    uint16_t countOrValue() const { return static_cast<uint16_t>(bytes[4] << 8 | bytes[5]); }

    void build(uint8_t address, uint8_t function, uint16_t reg, uint16_t countOrValue);
    void buildRead(uint8_t address, uint16_t firstRegister, uint16_t count) {
        build(address, kReadHoldingRegisters, firstRegister, count);
    }
    void buildWrite(uint8_t address, uint16_t reg, uint16_t value) {
        build(address, kWriteSingleRegister, reg, value);
    }

    // The 8 bytes of an RTU request. On RS-232 there is one relay on the line and it answers at
    // address 1, whatever the table says, so the address byte is replaced before the CRC.
    QByteArray rtuRequest(bool pointToPoint);
    // The 12 bytes of a Modbus TCP request: MBAP header (the request's transaction identifier,
    // protocol 0, length 6, the relay's own address as unit identifier) and the PDU; no CRC.
    QByteArray tcpRequest(uint16_t transaction) const;
};

// The answer in hand: the one just matched to its request, address first, as the dispatcher reads
// it. Nothing else is ever written here.
struct ReceiveBuffer {
    std::array<uint8_t, 301> bytes{};
    uint16_t length = 0;

    void clear() { length = 0; }
    void assign(QByteArrayView answer) {
        length = static_cast<uint16_t>(std::min<qsizetype>(answer.size(), bytes.size()));
        for (uint16_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<uint8_t>(answer[i]);
        }
    }
    uint8_t at(int i) const { return bytes[static_cast<size_t>(i)]; }
};

}  // namespace terval
