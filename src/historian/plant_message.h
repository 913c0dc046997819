#pragma once

#include <QByteArray>
#include <QDateTime>

namespace terval {

// One message as the plant's broker delivered it to the plant program: what the stations publish
// under <prefix>/<station>/..., unchanged, with the time it arrived.
struct PlantMessage {
    QByteArray topic;
    QByteArray payload;
    bool retained = false;  // the broker's stored copy, given on subscribing, not news
    QDateTime receivedAt;   // the plant computer's clock, with its zone
};

// Who takes the broker's messages in the plant program: the historian, which writes them to
// PostgreSQL, and the web view's live state. Called on the thread that owns the taker, in the order
// the broker delivered them.
class PlantMessageSink {
  public:
    virtual ~PlantMessageSink() = default;
    virtual void received(const PlantMessage& message) = 0;
    // The plant program's own connection to the broker was lost (`connected` false, with the
    // reason in the operator's words) or is back.
    virtual void brokerChanged(bool connected, const QString& reason) = 0;
};

}  // namespace terval
