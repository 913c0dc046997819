#include "rtu_framer.h"

#include <algorithm>

#include "crc16.h"

namespace relaysim {

namespace {

constexpr size_t kMaxFrame = 256;

enum : int { kNeedMore = -1, kUntilSilence = 0 };

// Length of a request frame from its first bytes, kNeedMore, or kUntilSilence for a function
// whose frames have no length that can be told from their start.
int requestLength(const std::vector<uint8_t>& b) {
    if (b.size() < 2) {
        return kNeedMore;
    }
    switch (b[1]) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 8:
            return 8;
        case 7:
        case 11:
        case 12:
        case 17:
            return 4;
        case 15:
        case 16:
            return b.size() < 7 ? kNeedMore : 9 + b[6];
        case 22:
            return 10;
        case 23:
            return b.size() < 11 ? kNeedMore : 13 + b[10];
        default:
            return kUntilSilence;
    }
}

bool crcGood(const uint8_t* frame, size_t length) {
    if (length < 4) {
        return false;
    }
    const uint16_t crc = crc16Modbus(frame, length - 2);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

}  // namespace

std::chrono::microseconds frameSilence(int baud) {
    const auto characters =
        std::chrono::microseconds(35LL * 11'000'000 / (10LL * std::max(baud, 1)));
    return std::max(characters, std::chrono::microseconds(20'000));
}

RtuFramer::RtuFramer(std::chrono::microseconds silence) : silence_(silence) {}

std::optional<TimePoint> RtuFramer::deadline() const {
    if (buffer_.empty() && !discarding_) {
        return std::nullopt;
    }
    return lastByte_ + silence_;
}

std::vector<RtuFrame> RtuFramer::expire(TimePoint now) {
    std::vector<RtuFrame> out;
    if ((buffer_.empty() && !discarding_) || now - lastByte_ < silence_) {
        return out;
    }
    discarding_ = false;
    if (!buffer_.empty()) {
        RtuFrame f;
        const int length = requestLength(buffer_);
        if (length == kUntilSilence) {
            f.verdict = crcGood(buffer_.data(), buffer_.size()) ? RtuFrame::Verdict::Good
                                                                : RtuFrame::Verdict::BadCrc;
        } else {
            f.verdict = RtuFrame::Verdict::Incomplete;
        }
        f.bytes.swap(buffer_);
        out.push_back(std::move(f));
    }
    return out;
}

std::vector<RtuFrame> RtuFramer::feed(const uint8_t* data, size_t length, TimePoint now) {
    std::vector<RtuFrame> out = expire(now);
    lastByte_ = now;
    if (discarding_) {
        return out;
    }
    buffer_.insert(buffer_.end(), data, data + length);
    cut(out);
    return out;
}

void RtuFramer::cut(std::vector<RtuFrame>& out) {
    for (;;) {
        const int length = requestLength(buffer_);
        if (length == kUntilSilence && buffer_.size() <= kMaxFrame) {
            return;
        }
        if (length == kNeedMore || (length > 0 && buffer_.size() < static_cast<size_t>(length))) {
            return;
        }
        RtuFrame f;
        if (length > 0 && crcGood(buffer_.data(), static_cast<size_t>(length))) {
            f.bytes.assign(buffer_.begin(), buffer_.begin() + length);
            buffer_.erase(buffer_.begin(), buffer_.begin() + length);
            out.push_back(std::move(f));
            continue;
        }
        f.verdict = RtuFrame::Verdict::BadCrc;
        f.bytes.swap(buffer_);
        out.push_back(std::move(f));
        discarding_ = true;
        return;
    }
}

}  // namespace relaysim
