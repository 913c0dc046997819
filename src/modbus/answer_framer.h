#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <memory>
#include <vector>

namespace terval {

// One whole answer as a framer found it: the address (TCP: unit identifier), the function code and
// the rest of the PDU; no MBAP header and no CRC.
struct Answer {
    QByteArray bytes;

    int size() const { return static_cast<int>(bytes.size()); }
    uint8_t at(int i) const { return static_cast<uint8_t>(bytes[i]); }
    uint8_t address() const { return size() > 0 ? at(0) : 0; }
    uint8_t function() const { return size() > 1 ? at(1) : 0; }
    bool isException() const { return (function() & 0x80) != 0; }
    // Function 3: the byte count; an exception: its code.
    uint8_t thirdByte() const { return size() > 2 ? at(2) : 0; }
};

// What a framer makes of the bytes it is given, in the order they arrived.
struct FramedItem {
    enum class Kind {
        Answer,  // a whole answer, to be matched with the request in flight
        Broken,  // a whole frame that failed its CRC, or an MBAP header no answer can have
    };
    Kind kind = Kind::Answer;
    Answer answer;
};

// Turns the bytes of one transport into whole answers, across as many reads as they take and
// however many arrive in one read.
class Framer {
  public:
    virtual ~Framer() = default;
    virtual std::vector<FramedItem> push(QByteArrayView bytes) = 0;
    // Forgets what is held: a new request is sent, or the link opens or closes.
    void reset() { held_.clear(); }
    // Bytes held that do not yet make a whole frame.
    int pending() const { return static_cast<int>(held_.size()); }

  protected:
    QByteArray held_;
};

// Modbus RTU: the length of a frame follows from its function code (read answer 3 + byte count +
// 2, write echo 8, exception 5) and its CRC decides. A byte that cannot start an answer of ours
// (the second byte is no function the station uses) is skipped, so a turnaround glitch on an
// RS-485 bus before the frame costs nothing.
class RtuFramer final : public Framer {
  public:
    std::vector<FramedItem> push(QByteArrayView bytes) override;
};

// Modbus TCP: the MBAP length field says where an answer ends. A header that cannot belong to an
// answer (protocol identifier not 0, length below 2 or above 254) means the stream has lost its
// place: everything held is dropped and reported once as broken.
class MbapFramer final : public Framer {
  public:
    std::vector<FramedItem> push(QByteArrayView bytes) override;
};

}  // namespace terval
