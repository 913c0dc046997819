#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "relay_clock.h"

namespace relaysim {

struct RtuFrame {
    enum class Verdict { Good, BadCrc, Incomplete };
    Verdict verdict = Verdict::Good;
    std::vector<uint8_t> bytes;
};

// Cuts the byte stream of a serial line into request frames. A frame's length follows from its
// function code where the code fixes it (8 bytes for functions 1 to 6); other frames end at a
// silence. After a frame with a bad CRC the boundaries are lost, so everything up to the next
// silence is discarded, as a slave on a real line does.
class RtuFramer {
  public:
    explicit RtuFramer(std::chrono::microseconds silence);

    std::vector<RtuFrame> feed(const uint8_t* data, size_t length, TimePoint now);
    // Ends what is held once the line has been quiet long enough.
    std::vector<RtuFrame> expire(TimePoint now);
    std::optional<TimePoint> deadline() const;

  private:
    void cut(std::vector<RtuFrame>& out);

    std::chrono::microseconds silence_;
    std::vector<uint8_t> buffer_;
    bool discarding_ = false;
    TimePoint lastByte_{};
};

// The silence that ends a frame at this speed: 3.5 characters of 11 bits, but at least 20 ms,
// since the tty layer delivers bytes in bursts that carry no timing of the wire.
std::chrono::microseconds frameSilence(int baud);

}  // namespace relaysim
