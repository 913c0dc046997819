#pragma once

#include <QByteArrayView>
#include <QString>
#include <cstdint>

namespace terval {

// The serial port settings the station opens the port with (the "port object").
struct SerialSettings {
    QString portName = QStringLiteral("COM1");
    int32_t baudRate = 38400;
    uint8_t dataBitsIndex = 3;     // 5, 6, 7, 8
    uint8_t stopBitsIndex = 0;     // 1, 1.5, 2
    uint8_t parityIndex = 0;       // none, odd, even, mark, space
    uint8_t flowControlIndex = 2;  // hardware, software, none, custom
    bool operator==(const SerialSettings&) const = default;
};

// Where the link goes: the serial port and its settings, or the TCP host and port. Each link
// takes its own part.
struct LinkTarget {
    SerialSettings serial;
    QString host;
    uint16_t port = 0;
};

// What an open or opening link reports, always on the user-interface thread and never from inside
// a call the station made to the link, but for `open` of a serial port, which reports at once.
class LinkEvents {
  public:
    virtual ~LinkEvents() = default;
    // TCP only: the host is being looked up, then the connection is being made.
    virtual void linkLookup() = 0;
    virtual void linkConnecting() = 0;
    // The port is open, or the connection is established.
    virtual void linkOpened() = 0;
    // TCP only: the peer ended the connection.
    virtual void linkDisconnected() = 0;
    // The link failed: a connection that could not be made or broke, a write that failed on a
    // port that is still there. `text` says what happened in Russian, the system's own words on a
    // line of their own.
    virtual void linkError(const QString& text) = 0;
    // The device behind a serial port has gone (a converter pulled out, the far end of a pty
    // closed). The link has closed the port and sends nothing more; `text` as for linkError.
    virtual void linkLost(const QString& text) = 0;
    // Bytes as they arrived; whole answers are the framer's business, not the link's.
    virtual void bytesReceived(QByteArrayView bytes) = 0;
};

// One transport to the relays: a serial port carrying RTU frames, or a TCP connection carrying
// MBAP frames. The station holds one of each and uses the one the connection settings choose.
class Link {
  public:
    virtual ~Link() = default;
    virtual void setEvents(LinkEvents* events) = 0;
    // A serial port opens at once: false when it cannot, else `linkOpened` has been reported. A
    // TCP connection is only started here (true); its outcome arrives as events.
    virtual bool open(const LinkTarget& target) = 0;
    // Closes the port or the connection or the attempt; harmless when nothing is open.
    virtual void close() = 0;
    // From a successful `open` until `close`, a failed attempt or the end of the connection.
    virtual bool isActive() const = 0;
    // Sends a whole frame. A TCP link that is not (yet) connected sends nothing and says nothing.
    virtual void send(QByteArrayView frame) = 0;
};

}  // namespace terval
