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
// 2, write echo 8, exception 5) and its CRC decides. The line gives no other mark of where a frame
// starts, so bytes before an answer (a turnaround glitch on an RS-485 bus, the tail of another
// relay's answer that came too late) are stepped over one at a time: a frame that fails its CRC
// is only reported broken when it starts with the address asked and nothing after it can still
// grow into the answer.
class RtuFramer final : public Framer {
  public:
    // The address the answer to the request in flight comes from; 0 when any relay may answer (a
    // point-to-point line).
    void expectAddress(uint8_t address) { expected_ = address; }
    std::vector<FramedItem> push(QByteArrayView bytes) override;

  private:
    // The bytes at `at` may be the start of the answer awaited.
    bool mayStartAnswer(qsizetype at) const;
    // The first offset from `from` on where a whole frame with a good CRC stands, and its length.
    qsizetype goodFrameFrom(qsizetype from, int* length) const;
    // Some offset from `from` on may start the answer awaited, which has not all arrived yet.
    bool answerMayBeArriving(qsizetype from) const;

    uint8_t expected_ = 0;
};

// Modbus TCP: the MBAP length field says where an answer ends, and its transaction identifier which
// request it answers. The stream keeps its place across requests, so an answer that comes late (its
// identifier is an earlier request's) is read whole and dropped, and the answer behind it is found.
// A header that cannot belong to an answer (protocol identifier not 0, length below 2 or above 254)
// means the stream has lost its place: everything held is dropped and reported once as broken.
class MbapFramer final : public Framer {
  public:
    // A new request goes out with this identifier. What is held is kept only when it is the start
    // of the answer to the request before, still arriving; anything else was never an answer.
    void expectTransaction(uint16_t transaction);
    std::vector<FramedItem> push(QByteArrayView bytes) override;

  private:
    uint16_t expected_ = 0;
};

}  // namespace terval
