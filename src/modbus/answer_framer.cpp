#include "modbus/answer_framer.h"

#include "modbus/modbus_frame.h"

namespace terval {
namespace {

constexpr uint8_t kException = 0x80;
constexpr int kMbapHeader = 6;
constexpr int kMbapShortest = 2;   // unit identifier and function code
constexpr int kMbapLongest = 254;  // unit identifier and the longest PDU

uint8_t byteAt(const QByteArray& b, qsizetype i) {
    return static_cast<uint8_t>(b[i]);
}

// The length of the RTU frame that starts at `at`, CRC included: 0 when the bytes there cannot
// start an answer the station could get, -1 when more bytes are needed to tell.
int rtuFrameLength(const QByteArray& held, qsizetype at) {
    const qsizetype left = held.size() - at;
    if (left < 2) {
        return -1;
    }
    switch (byteAt(held, at + 1)) {
        case kReadHoldingRegisters:
            return left < 3 ? -1 : 5 + byteAt(held, at + 2);
        case kWriteSingleRegister:
            return 8;
        case kReadHoldingRegisters | kException:
        case kWriteSingleRegister | kException:
            return 5;
        default:
            return 0;
    }
}

bool rtuCrcGood(const QByteArray& held, qsizetype at, int length) {
    const auto* data = reinterpret_cast<const uint8_t*>(held.constData() + at);
    const uint16_t sent = static_cast<uint16_t>(data[length - 2] | data[length - 1] << 8);
    return MatchCRC(data, length - 2) == sent;
}

FramedItem rtuAnswer(const QByteArray& held, qsizetype at, int length) {
    return {FramedItem::Kind::Answer, Answer{held.mid(at, length - 2)}};
}

}  // namespace

std::vector<FramedItem> RtuFramer::push(QByteArrayView bytes) {
    held_.append(bytes.data(), bytes.size());
    std::vector<FramedItem> out;
    for (;;) {
        const int length = rtuFrameLength(held_, 0);
        if (length < 0 || held_.size() < length) {
            break;
        }
        if (length == 0) {
            held_.remove(0, 1);
            continue;
        }
        if (rtuCrcGood(held_, 0, length)) {
            out.push_back(rtuAnswer(held_, 0, length));
            held_.remove(0, length);
            continue;
        }
        // Noise before a frame makes a frame of the wrong length. If a whole good frame already
        // stands further on, the bytes before it were noise; otherwise this was a frame broken on
        // the line.
        qsizetype found = -1;
        int foundLength = 0;
        for (qsizetype at = 1; at < held_.size() && found < 0; ++at) {
            const int l = rtuFrameLength(held_, at);
            if (l > 0 && held_.size() - at >= l && rtuCrcGood(held_, at, l)) {
                found = at;
                foundLength = l;
            }
        }
        if (found > 0) {
            out.push_back(rtuAnswer(held_, found, foundLength));
            held_.remove(0, found + foundLength);
            continue;
        }
        out.push_back({FramedItem::Kind::Broken, {}});
        held_.remove(0, length);
    }
    return out;
}

std::vector<FramedItem> MbapFramer::push(QByteArrayView bytes) {
    held_.append(bytes.data(), bytes.size());
    std::vector<FramedItem> out;
    while (held_.size() >= kMbapHeader) {
        const int protocol = byteAt(held_, 2) << 8 | byteAt(held_, 3);
        const int length = byteAt(held_, 4) << 8 | byteAt(held_, 5);
        if (protocol != 0 || length < kMbapShortest || length > kMbapLongest) {
            held_.clear();
            out.push_back({FramedItem::Kind::Broken, {}});
            break;
        }
        if (held_.size() < kMbapHeader + length) {
            break;
        }
        out.push_back({FramedItem::Kind::Answer, Answer{held_.mid(kMbapHeader, length)}});
        held_.remove(0, kMbapHeader + length);
    }
    return out;
}

}  // namespace terval
