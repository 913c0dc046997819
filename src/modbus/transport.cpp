#include "modbus/transport.h"

namespace terval {

const SentRequest& RtuTransport::send(const RequestFrame& request) {
    sent_.frame = pointToPoint_ ? request.addressedTo(1) : request;
    sent_.anyAddress = pointToPoint_;
    sent_.transaction = 0;
    sent_.bytes = sent_.frame.rtuRequest();
    // Whatever is held belongs to an earlier request.
    framer_.reset();
    framer_.expectAddress(pointToPoint_ ? 0 : request.address());
    return sent_;
}

const SentRequest& TcpTransport::send(const RequestFrame& request) {
    if (++transaction_ == 0) {
        transaction_ = 1;
    }
    sent_.frame = request;
    sent_.anyAddress = false;
    sent_.transaction = transaction_;
    sent_.bytes = request.tcpRequest(transaction_);
    framer_.expectTransaction(transaction_);
    return sent_;
}

}  // namespace terval
