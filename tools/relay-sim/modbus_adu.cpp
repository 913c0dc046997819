#include "modbus_adu.h"

#include "crc16.h"

namespace relaysim {

namespace {

Request requestFromPdu(uint8_t unit, const uint8_t* pdu, size_t length) {
    Request r;
    r.unit = unit;
    if (length >= 1) {
        r.function = pdu[0];
    }
    if (length >= 3) {
        r.address = static_cast<uint16_t>(pdu[1] << 8 | pdu[2]);
    }
    if (length >= 5) {
        r.countOrValue = static_cast<uint16_t>(pdu[3] << 8 | pdu[4]);
    }
    return r;
}

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

}  // namespace

Request requestFromRtu(const uint8_t* frame, size_t length) {
    if (length < 3) {
        return requestFromPdu(length ? frame[0] : 0, frame + (length ? 1 : 0), 0);
    }
    return requestFromPdu(frame[0], frame + 1, length - 3);
}

Request requestFromTcp(const uint8_t* adu, size_t length) {
    if (length < kTcpHeaderLength) {
        return Request{};
    }
    return requestFromPdu(adu[6], adu + kTcpHeaderLength, length - kTcpHeaderLength);
}

std::vector<uint8_t> answerPdu(const Request& request, const Decision& decision) {
    std::vector<uint8_t> pdu;
    if (decision.exception != 0) {
        pdu.push_back(static_cast<uint8_t>(request.function | 0x80));
        pdu.push_back(decision.exception);
        return pdu;
    }
    pdu.push_back(request.function);
    if (request.function == 6) {
        put16(pdu, request.address);
        put16(pdu, request.countOrValue);
        return pdu;
    }
    pdu.push_back(static_cast<uint8_t>(2 * decision.words.size()));
    for (uint16_t w : decision.words) {
        put16(pdu, w);
    }
    return pdu;
}

std::vector<uint8_t> rtuFrame(uint8_t address, const std::vector<uint8_t>& pdu, bool corruptCrc) {
    std::vector<uint8_t> frame;
    frame.reserve(pdu.size() + 3);
    frame.push_back(address);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    uint16_t crc = crc16Modbus(frame.data(), frame.size());
    if (corruptCrc) {
        crc = static_cast<uint16_t>(~crc);
    }
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

std::vector<uint8_t> tcpFrame(uint16_t transaction, uint8_t unit, const std::vector<uint8_t>& pdu) {
    std::vector<uint8_t> adu;
    adu.reserve(pdu.size() + kTcpHeaderLength);
    put16(adu, transaction);
    put16(adu, 0);  // protocol identifier: Modbus
    put16(adu, static_cast<uint16_t>(pdu.size() + 1));
    adu.push_back(unit);
    adu.insert(adu.end(), pdu.begin(), pdu.end());
    return adu;
}

}  // namespace relaysim
