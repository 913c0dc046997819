#pragma once

#include <QByteArrayView>
#include <array>
#include <cstdint>

namespace terval {

// The answer buffer shared by both links. Its length counter is 8 bits wide, as it has always been:
// a stream of 256 bytes or more that never forms a frame is written over from the start.
struct ReceiveBuffer {
    std::array<uint8_t, 301> bytes{};
    uint8_t length = 0;

    void clear() { length = 0; }
    void append(uint8_t byte) { bytes[length++] = byte; }
    uint8_t at(int i) const { return bytes[static_cast<size_t>(i)]; }
};

// Collects an RTU answer byte by byte. The end of a frame is found by length alone (the line has no
// other framing the station relies on) and the frame is then judged by its CRC; nothing else of the
// answer is compared with the request, so a garbled frame shows up only as a bad CRC or a timeout.
class RtuReceiver {
  public:
    enum class Outcome {
        Incomplete,  // wait for more bytes (or the scheduler's timeout)
        Accepted,    // a whole frame with a good CRC stands in the buffer
        BadCrc,      // a whole frame that fails its CRC; count one bad answer
    };

    explicit RtuReceiver(ReceiveBuffer& buffer) : buffer_(buffer) {}

    // One delivery of bytes from the port. Bytes beyond a complete frame in the same delivery are
    // dropped with it.
    Outcome accept(QByteArrayView delivery);

    uint16_t ExpectedDataLength() const { return expectedDataLength_; }

  private:
    ReceiveBuffer& buffer_;
    uint16_t expectedDataLength_ = 0;
};

}  // namespace terval
