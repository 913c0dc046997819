#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <vector>

#include "modbus/answer_framer.h"
#include "modbus/answer_match.h"
#include "modbus/modbus_frame.h"

namespace terval {

// A request as a transport put it on the wire, and what an answer must show to be its own.
struct SentRequest {
    // As addressed on the wire: on a point-to-point line every request goes to address 1,
    // whatever address the device table gives the relay.
    RequestFrame frame;
    // The one relay of a point-to-point line may answer from whatever address it has.
    bool anyAddress = false;
    // Modbus TCP: the identifier the answer echoes; 0 on a serial line.
    uint16_t transaction = 0;
    // Exactly the bytes that went out.
    QByteArray bytes;
};

// One Modbus transport, in the way libmodbus keeps a table of functions per back end: how a
// request is put on the wire, how the bytes that come back are framed into answers, which answer
// belongs to the request in flight, and what becomes of bytes nobody asked for. The link picks one
// when it opens and keeps it until it closes; nothing above it asks which transport it is.
class Transport {
  public:
    virtual ~Transport() = default;

    // `request` goes out now: the bytes for the wire, kept (with what its answer must show) as the
    // request in flight until the next one, and the framer made ready for its answer.
    virtual const SentRequest& send(const RequestFrame& request) = 0;
    // Bytes from the line while the request in flight awaits its answer: the whole frames among
    // them, in order.
    std::vector<FramedItem> push(QByteArrayView bytes) { return framer().push(bytes); }
    // Bytes from the line while nothing is asked: none of them answers anything, and they must
    // not hold back the answer to the next request.
    virtual void pushUnasked(QByteArrayView bytes) = 0;
    // The request in flight has been settled by the frames of one delivery.
    virtual void settled() = 0;
    // Whether `answer` answers the request in flight.
    AnswerMatch match(const Answer& answer) const {
        return matchesRequest(sent_.frame, answer, sent_.anyAddress);
    }
    // The link opens or closes: whatever is held belongs to no request.
    void reset() { framer().reset(); }

    const SentRequest& inFlight() const { return sent_; }

  protected:
    virtual Framer& framer() = 0;

    SentRequest sent_;
};

// Modbus RTU on a serial line. A bus (RS-485) carries each request to the relay's own address and
// takes an answer from that address only; a point-to-point line (RS-232) has one relay, which
// answers at address 1 whatever the table says. The line keeps no place between requests: what is
// held when a request is settled or a new one goes out belongs to an earlier one.
class RtuTransport final : public Transport {
  public:
    explicit RtuTransport(bool pointToPoint) : pointToPoint_(pointToPoint) {}

    const SentRequest& send(const RequestFrame& request) override;
    void pushUnasked(QByteArrayView) override { framer_.reset(); }
    void settled() override { framer_.reset(); }

  private:
    Framer& framer() override { return framer_; }

    bool pointToPoint_;
    RtuFramer framer_;
};

// Modbus TCP. Every request carries an identifier of its own (1, 2, ..., 0 skipped, left to peers
// that do not echo it), so that an answer that comes too late is known for what it is. The stream
// keeps its place across requests, so bytes that come while nothing is asked are still followed,
// or the next answer's header would be looked for in the middle of a late one. The identifiers go
// on counting for as long as the station runs, across connections.
class TcpTransport final : public Transport {
  public:
    const SentRequest& send(const RequestFrame& request) override;
    void pushUnasked(QByteArrayView bytes) override { framer_.push(bytes); }
    void settled() override {}

  private:
    Framer& framer() override { return framer_; }

    MbapFramer framer_;
    uint16_t transaction_ = 0;
};

}  // namespace terval
