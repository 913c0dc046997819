#include "link/rtu_receiver.h"

#include "link/modbus_frame.h"

namespace terval {

RtuReceiver::Outcome RtuReceiver::accept(QByteArrayView delivery) {
    for (char byte : delivery) {
        buffer_.append(static_cast<uint8_t>(byte));
    }
    if (buffer_.length <= 2) {
        return Outcome::Incomplete;
    }
    expectedDataLength_ = buffer_.at(1) == kWriteSingleRegister ? 3 : buffer_.at(2);
    if (buffer_.length < expectedDataLength_ + 5) {
        return Outcome::Incomplete;
    }
    const int covered = expectedDataLength_ + 3;
    const uint16_t received =
        static_cast<uint16_t>(buffer_.at(covered) | buffer_.at(covered + 1) << 8);
    const bool good = MatchCRC(buffer_.bytes.data(), covered) == received;
    // The frame stays readable in the buffer for the dispatcher; only the counter starts again.
    buffer_.clear();
    return good ? Outcome::Accepted : Outcome::BadCrc;
}

}  // namespace terval
