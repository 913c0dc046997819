#include "modbus/modbus_frame.h"

namespace terval {

uint16_t MatchCRC(const uint8_t* bytes, int length) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

void RequestFrame::build(uint8_t address, uint8_t function, uint16_t reg, uint16_t countOrValue) {
    bytes = {address,
             function,
             static_cast<uint8_t>(reg >> 8),
             static_cast<uint8_t>(reg & 0xFF),
             static_cast<uint8_t>(countOrValue >> 8),
             static_cast<uint8_t>(countOrValue & 0xFF)};
}

QByteArray RequestFrame::rtuRequest() const {
    QByteArray frame(reinterpret_cast<const char*>(bytes.data()), 6);
    const uint16_t crc = MatchCRC(bytes.data(), 6);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

QByteArray RequestFrame::tcpRequest(uint16_t transaction) const {
    QByteArray frame(12, '\0');
    frame[0] = static_cast<char>(transaction >> 8);
    frame[1] = static_cast<char>(transaction & 0xFF);
    frame[5] = 6;
    for (int i = 0; i < 6; ++i) {
        frame[6 + i] = static_cast<char>(bytes[static_cast<size_t>(i)]);
    }
    return frame;
}

}  // namespace terval
