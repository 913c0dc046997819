#pragma once

#include <QByteArray>
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

// The serial port as the station uses it. Its notifications (after open, bytes received) are
// delivered to the LinkController on the user-interface thread.
class SerialPortDevice {
  public:
    virtual ~SerialPortDevice() = default;
    // Opens the port; on failure returns false and leaves it closed.
    virtual bool open(const SerialSettings& settings) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual void write(const QByteArray& bytes) = 0;
    virtual void setRts(bool on) = 0;
    virtual void setDtr(bool on) = 0;
};

// The TCP client socket. Its events are delivered to the LinkController on the user-interface
// thread: lookup, connecting, connected, disconnected, error and data to read.
class TcpClientSocket {
  public:
    virtual ~TcpClientSocket() = default;
    // Starts lookup and connect without blocking.
    virtual void activate(const QString& host, uint16_t port) = 0;
    // Closes the connection or the attempt.
    virtual void deactivate() = 0;
    // From activation until deactivation, a failed attempt or the end of the connection.
    virtual bool isActive() const = 0;
    // Sends on a connected socket; on one that is not (yet) connected nothing is sent.
    virtual void send(const QByteArray& bytes) = 0;
};

}  // namespace terval
