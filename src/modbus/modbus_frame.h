#pragma once

#include <QByteArray>
#include <QByteArrayView>
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

// A request as the poll builds it: address (the relay's own, as the device table has it),
// function, register, count or value. How it goes on the wire is the transport's business
// (transport.h): these functions only read it.
struct RequestFrame {
    std::array<uint8_t, 6> bytes{};

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

    // The same request sent to another address.
    RequestFrame addressedTo(uint8_t address) const {
        RequestFrame other = *this;
        other.bytes[0] = address;
        return other;
    }
    // The 8 bytes of an RTU request: the six above and the CRC, low byte first.
    QByteArray rtuRequest() const;
    // The 12 bytes of a Modbus TCP request: MBAP header (the request's transaction identifier,
    // protocol 0, length 6, the address as unit identifier) and the PDU; no CRC.
    QByteArray tcpRequest(uint16_t transaction) const;
};

}  // namespace terval
