#include "modbus/answer_framer.h"

#include "modbus/modbus_frame.h"

namespace terval {
namespace {

constexpr uint8_t kException = 0x80;
constexpr int kMbapHeader = 6;
constexpr int kMbapShortest = 2;   // unit identifier and function code
constexpr int kMbapLongest = 254;  // unit identifier and the longest PDU
constexpr uint8_t kLastSlaveAddress = 247;

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

bool RtuFramer::mayStartAnswer(qsizetype at) const {
    const uint8_t address = byteAt(held_, at);
    const bool addressFits =
        expected_ != 0 ? address == expected_ : address >= 1 && address <= kLastSlaveAddress;
    return addressFits && rtuFrameLength(held_, at) != 0;
}

qsizetype RtuFramer::goodFrameFrom(qsizetype from, int* length) const {
    for (qsizetype at = from; at < held_.size(); ++at) {
        const int l = rtuFrameLength(held_, at);
        if (l > 0 && held_.size() - at >= l && rtuCrcGood(held_, at, l)) {
            *length = l;
            return at;
        }
    }
    return -1;
}

bool RtuFramer::answerMayBeArriving(qsizetype from) const {
    // A lone last byte could start anything; only a start whose function is known counts.
    for (qsizetype at = from; at + 1 < held_.size(); ++at) {
        if (mayStartAnswer(at)) {
            const int l = rtuFrameLength(held_, at);
            if (l < 0 || held_.size() - at < l) {
                return true;
            }
        }
    }
    return false;
}

std::vector<FramedItem> RtuFramer::push(QByteArrayView bytes) {
    held_.append(bytes.data(), bytes.size());
    std::vector<FramedItem> out;
    while (!held_.isEmpty()) {
        const int length = rtuFrameLength(held_, 0);
        if (length == 0) {
            held_.remove(0, 1);
            continue;
        }
        const bool whole = length > 0 && held_.size() >= length;
        if (whole && rtuCrcGood(held_, 0, length)) {
            out.push_back(rtuAnswer(held_, 0, length));
            held_.remove(0, length);
            continue;
        }
        // What stands at the start is no good frame, or not yet one. A good frame further on
        // shows that it was noise.
        int foundLength = 0;
        const qsizetype found = goodFrameFrom(1, &foundLength);
        if (found > 0) {
            out.push_back(rtuAnswer(held_, found, foundLength));
            held_.remove(0, found + foundLength);
            continue;
        }
        if (!whole || answerMayBeArriving(1)) {
            break;
        }
        // Nothing further on can become the answer. A frame from the address asked was broken on
        // the line; anything else was noise that only looked like the start of a frame.
        if (mayStartAnswer(0)) {
            out.push_back({FramedItem::Kind::Broken, {}});
            held_.remove(0, length);
        } else {
            held_.remove(0, 1);
        }
    }
    return out;
}

void MbapFramer::expectTransaction(uint16_t transaction) {
    const bool lateAnswerArriving = expected_ != 0 && !held_.isEmpty() &&
                                    byteAt(held_, 0) == (expected_ >> 8) &&
                                    (held_.size() < 2 || byteAt(held_, 1) == (expected_ & 0xFF));
    if (!lateAnswerArriving) {
        held_.clear();
    }
    expected_ = transaction;
}

std::vector<FramedItem> MbapFramer::push(QByteArrayView bytes) {
    held_.append(bytes.data(), bytes.size());
    std::vector<FramedItem> out;
    while (held_.size() >= kMbapHeader) {
        const int transaction = byteAt(held_, 0) << 8 | byteAt(held_, 1);
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
        // A peer that does not echo the identifier answers with 0; its answers are taken as they
        // come, as they always were.
        if (expected_ == 0 || transaction == expected_ || transaction == 0) {
            out.push_back({FramedItem::Kind::Answer, Answer{held_.mid(kMbapHeader, length)}});
        }
        held_.remove(0, kMbapHeader + length);
    }
    return out;
}

}  // namespace terval
